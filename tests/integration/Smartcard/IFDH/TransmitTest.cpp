// APDUs through the driver to the simulated cards: T=0 unchanged in one block transfer, T=1
// through the block protocol, chaining, waiting-time extensions and failed block transfers.
#include "ReaderFixture.h"

using namespace hv::test;
using namespace std::chrono_literals;

using TransmitTest = ReaderTest;

TEST_P(TransmitTest, ShortEchoOverT1AndT0) {
    ready("t1", 2);
    auto a = transmit(echoApdu(5), 2);
    ASSERT_EQ(a.status, HVIFDHStatusSuccess);
    EXPECT_EQ(a.response.size(), 7u);
}

HV_READER_BACKENDS(TransmitTest);
