#include <memory>

#include "vorasel/sim/SessionPort.h"

namespace hv::sim {
namespace {

class PipePort final : public SessionPort {
public:
    PipePort(std::string protocol, std::shared_ptr<BytePipe> in, std::shared_ptr<BytePipe> out)
        : protocol_(std::move(protocol)), in_(std::move(in)), out_(std::move(out)) {}
    ~PipePort() override { close(); }

    const std::string &protocol() const override { return protocol_; }
    ptrdiff_t read(uint8_t *buf, size_t cap, Clock::time_point deadline) override {
        return in_->read(buf, cap, deadline);
    }
    bool write(const uint8_t *data, size_t len) override { return out_->writeAll(data, len); }
    void close() override {
        in_->close();
        out_->close();
    }
    bool isOpen() const override { return !in_->isClosed() && !out_->isClosed(); }

private:
    const std::string protocol_;
    std::shared_ptr<BytePipe> in_;
    std::shared_ptr<BytePipe> out_;
};

}  // namespace

std::shared_ptr<SessionPort> makePipePort(const std::string &protocol, std::shared_ptr<BytePipe> in,
                                          std::shared_ptr<BytePipe> out) {
    return std::make_shared<PipePort>(protocol, std::move(in), std::move(out));
}

PortPair makePortPair(const std::string &protocol, size_t capacity) {
    auto toDevice = std::make_shared<BytePipe>(capacity);
    auto toHost = std::make_shared<BytePipe>(capacity);
    return PortPair{std::make_shared<PipePort>(protocol, toHost, toDevice),
                    std::make_shared<PipePort>(protocol, toDevice, toHost)};
}

}  // namespace hv::sim
