// Property: every message type, built from random values, serialised, fed to a reassembly
// handler in random chunk sizes and extracted, gives back the values it was built from.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <functional>
#include <random>

#include "../../tlv/TlvTestUtil.h"
#include "Accessory/Management/HVPAPMessageHandler.h"
#include "vorasel/dez_message.h"

using hv::test::Bytes;
using hv::test::serialise;
using hv::test::Tree;

namespace {

using Check = std::function<void(const tlv_t *)>;

struct Built {
    std::string type;
    Bytes wire;
    Check check;
};

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    template <typename T>
    T number() {
        return static_cast<T>(std::uniform_int_distribution<uint64_t>(0, UINT64_MAX)(rng_));
    }
    size_t upTo(size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng_); }
    std::string text() {
        std::string s(upTo(40), ' ');
        for (char &c : s)
            c = static_cast<char>(std::uniform_int_distribution<int>(1, 255)(rng_));
        return s;
    }
    Bytes block(size_t max) {
        Bytes b(upTo(max));
        for (uint8_t &x : b)
            x = number<uint8_t>();
        return b;
    }

    // One random message of the given kind; the builder's storage only has to live until the
    // tree is serialised, and the check compares with copies of the host values.
    Built make(int kind);
    static constexpr int kKinds = 25;

private:
    std::mt19937 rng_;
};

Built finish(const std::string &type, tlv_t *message, Check check) {
    Tree tree(message);
    EXPECT_TRUE(tree) << type;
    return {type, tree ? serialise(tree.get()) : Bytes{}, std::move(check)};
}

#define EXPECT_OK(call) ASSERT_EQ((call), TLV_OK) << #call

Built Generator::make(int kind) {
    switch (kind) {
        case 0: {
            const uint16_t tag = std::array<uint16_t, 4>{
                DEZ_RESET, DEZ_READ_COUNTERS, DEZ_RESET_COUNTERS, DEZ_GET_CAPABILITIES}[upTo(3)];
            return finish("simple", dez_build_simple(tag), [tag](const tlv_t *m) {
                EXPECT_EQ(m->tag, tag);
                EXPECT_EQ(m->length, 0u);
            });
        }
        case 1: {
            uint32_t v = number<uint32_t>();
            const uint32_t want = v;
            return finish("capture_image_2", dez_build_capture_image_2(&v), [want](const tlv_t *m) {
                uint32_t got;
                EXPECT_OK(dez_extract_capture_image_2(m, &got));
                EXPECT_EQ(got, want);
            });
        }
        case 2: {
            uint32_t v = number<uint32_t>();
            const uint32_t want = v & 0xFF;
            return finish("error_code", dez_build_error_code(&v), [want](const tlv_t *m) {
                uint32_t got;
                EXPECT_OK(dez_extract_error_code(m, &got));
                EXPECT_EQ(got, want);
            });
        }
        case 3: {
            uint16_t v = number<uint16_t>();
            const uint16_t want = v;
            return finish("gpio_state", dez_build_gpio_state(&v), [want](const tlv_t *m) {
                uint16_t got;
                EXPECT_OK(dez_extract_gpio_state(m, &got));
                EXPECT_EQ(got, want);
            });
        }
        case 4: {
            uint32_t v = number<uint32_t>();
            const uint32_t want = v;
            return finish("capabilities", dez_build_capabilities(&v), [want](const tlv_t *m) {
                uint32_t got;
                EXPECT_OK(dez_extract_capabilities(m, &got));
                EXPECT_EQ(got, want);
            });
        }
        case 5: {
            uint16_t v = number<uint16_t>();
            const uint16_t want = v;
            return finish("idle_power_timeout", dez_build_idle_power_timeout(&v),
                          [want](const tlv_t *m) {
                              uint16_t got;
                              EXPECT_OK(dez_extract_idle_power_timeout(m, &got));
                              EXPECT_EQ(got, want);
                          });
        }
        case 6:
        case 7:
        case 8: {
            const std::string s = text();
            using Extract = uint32_t (*)(const tlv_t *, const char **);
            static const Extract extract[] = {dez_extract_property_value, dez_extract_read_property,
                                              dez_extract_write_product_no};
            tlv_t *m = kind == 6   ? dez_build_property_value(s.c_str())
                       : kind == 7 ? dez_build_read_property(s.c_str())
                                   : dez_build_write_product_no(s.c_str());
            Extract e = extract[kind - 6];
            return finish("string message", m, [s, e](const tlv_t *msg) {
                const char *got;
                EXPECT_OK(e(msg, &got));
                EXPECT_EQ(std::string(got), s);
            });
        }
        case 9: {
            const std::string k = text(), v = text();
            return finish("write_property", dez_build_write_property(k.c_str(), v.c_str()),
                          [k, v](const tlv_t *m) {
                              const char *gk, *gv;
                              EXPECT_OK(dez_extract_write_property(m, &gk, &gv));
                              EXPECT_EQ(std::string(gk), k);
                              EXPECT_EQ(std::string(gv), v);
                          });
        }
        case 10: {
            const std::string n = text();
            uint32_t v = number<uint32_t>();
            const uint32_t want = v;
            return finish("counter", dez_build_counter(n.c_str(), &v), [n, want](const tlv_t *m) {
                const char *gn;
                uint32_t gv;
                EXPECT_OK(dez_extract_counter(m, &gn, &gv));
                EXPECT_EQ(std::string(gn), n);
                EXPECT_EQ(gv, want);
            });
        }
        case 11: {
            std::deque<dez_counter_t> entries(upTo(8));
            std::vector<std::pair<std::string, uint32_t>> want;
            std::deque<std::string> names;
            dez_counters_list_t list{nullptr, nullptr};
            for (auto &e : entries) {
                names.push_back(text());
                e = dez_counter_t{names.back().c_str(), number<uint32_t>(), nullptr, list.last};
                want.emplace_back(names.back(), e.value);
                (list.last ? list.last->next : list.first) = &e;
                list.last = &e;
            }
            return finish("counters", dez_build_counters(&list), [want](const tlv_t *m) {
                dez_counters_list_t *got = nullptr;
                EXPECT_OK(dez_extract_counters(m, &got));
                size_t i = 0;
                for (const dez_counter_t *e = got->first; e; e = e->next, ++i) {
                    ASSERT_LT(i, want.size());
                    EXPECT_EQ(std::string(e->name), want[i].first);
                    EXPECT_EQ(e->value, want[i].second);
                }
                EXPECT_EQ(i, want.size());
                dez_free_counters_list(&got);
            });
        }
        case 12:
        case 13: {
            uint8_t port = number<uint8_t>();
            uint16_t mask = number<uint16_t>();
            const uint8_t wp = port;
            const uint16_t wm = mask;
            if (kind == 12)
                return finish("gpio_pins", dez_build_gpio_pins(&port, &mask),
                              [wp, wm](const tlv_t *m) {
                                  uint8_t p;
                                  uint16_t b;
                                  EXPECT_OK(dez_extract_gpio_pins(m, &p, &b));
                                  EXPECT_EQ(p, wp);
                                  EXPECT_EQ(b, wm);
                              });
            return finish("read_gpio", dez_build_read_gpio(&port, &mask), [wp, wm](const tlv_t *m) {
                uint8_t p;
                uint16_t b;
                EXPECT_OK(dez_extract_read_gpio(m, &p, &b));
                EXPECT_EQ(p, wp);
                EXPECT_EQ(b, wm);
            });
        }
        case 14: {
            uint8_t port = number<uint8_t>();
            uint16_t mask = number<uint16_t>(), state = number<uint16_t>();
            const uint8_t wp = port;
            const uint16_t wm = mask, ws = state;
            return finish("write_gpio", dez_build_write_gpio(&port, &mask, &state),
                          [wp, wm, ws](const tlv_t *m) {
                              uint8_t p;
                              uint16_t b, s;
                              EXPECT_OK(dez_extract_write_gpio(m, &p, &b, &s));
                              EXPECT_EQ(p, wp);
                              EXPECT_EQ(b, wm);
                              EXPECT_EQ(s, ws);
                          });
        }
        case 15: {
            const Bytes chunk = block(512);
            uint32_t size = number<uint32_t>(), offset = number<uint32_t>();
            const uint32_t ws = size, wo = offset;
            return finish("firmware_image",
                          dez_build_firmware_image(&size, &offset, chunk.data(),
                                                   static_cast<uint32_t>(chunk.size())),
                          [ws, wo, chunk](const tlv_t *m) {
                              uint32_t s, o, n;
                              const uint8_t *c;
                              EXPECT_OK(dez_extract_firmware_image(m, &s, &o, &c, &n));
                              EXPECT_EQ(s, ws);
                              EXPECT_EQ(o, wo);
                              EXPECT_EQ(Bytes(c, c + n), chunk);
                          });
        }
        case 16:
        case 17:
        case 18:
        case 19: {
            // image_properties(_2) and image(_2); small dimensions keep the pixels bounded.
            uint16_t p[4] = {static_cast<uint16_t>(upTo(30)), static_cast<uint16_t>(upTo(30)),
                             number<uint16_t>(), number<uint16_t>()};
            const std::array<uint16_t, 4> wp{p[0], p[1], p[2], p[3]};
            uint32_t p5 = number<uint32_t>(), p6 = number<uint32_t>();
            uint8_t p5b = number<uint8_t>();
            const uint32_t w5 = kind % 2 == 0 ? (p5 & 0xFF) : p5b, w6 = p6 & 0xFFFF;
            Bytes pixels(size_t{p[0]} * p[1]);
            for (uint8_t &x : pixels)
                x = number<uint8_t>();
            const bool wide = kind % 2 == 0, image = kind >= 18;
            tlv_t *m;
            if (!image)
                m = wide ? dez_build_image_properties(&p[0], &p[1], &p[2], &p[3], &p5, &p6)
                         : dez_build_image_properties_2(&p[0], &p[1], &p[2], &p[3], &p5b);
            else
                m = wide ? dez_build_image(&p[0], &p[1], &p[2], &p[3], &p5, &p6, pixels.data())
                         : dez_build_image_2(&p[0], &p[1], &p[2], &p[3], &p5b, pixels.data());
            return finish("image", m, [=](const tlv_t *msg) {
                uint16_t g[4];
                uint32_t g5, g6 = 0;
                const uint8_t *px = nullptr;
                uint32_t result;
                if (!image && wide) {
                    result =
                        dez_extract_image_properties(msg, &g[0], &g[1], &g[2], &g[3], &g5, &g6);
                } else if (!image) {
                    result = dez_extract_image_properties_2(msg, &g[0], &g[1], &g[2], &g[3], &g5);
                } else if (wide) {
                    result = dez_extract_image(msg, &g[0], &g[1], &g[2], &g[3], &g5, &g6, &px);
                } else {
                    result = dez_extract_image_2(msg, &g[0], &g[1], &g[2], &g[3], &g5, &px);
                }
                ASSERT_EQ(result, TLV_OK);
                for (int i = 0; i < 4; ++i)
                    EXPECT_EQ(g[i], wp[i]);
                EXPECT_EQ(g5, w5);
                if (wide) {
                    EXPECT_EQ(g6, w6);
                }
                if (image) {
                    EXPECT_EQ(Bytes(px, px + pixels.size()), pixels);
                }
            });
        }
        case 20: {
            uint8_t b1 = number<uint8_t>(), b2 = number<uint8_t>();
            const std::array<std::string, 4> s{text(), text(), text(), text()};
            const uint8_t w1 = b1, w2 = b2;
            return finish(
                "identity",
                dez_build_identity(&b1, s[0].c_str(), s[1].c_str(), s[2].c_str(), s[3].c_str(),
                                   &b2),
                [=](const tlv_t *m) {
                    uint8_t g1, g2;
                    const char *g[4];
                    EXPECT_OK(dez_extract_identity(m, &g1, &g[0], &g[1], &g[2], &g[3], &g2));
                    EXPECT_EQ(g1, w1);
                    EXPECT_EQ(g2, w2);
                    for (int i = 0; i < 4; ++i)
                        EXPECT_EQ(std::string(g[i]), s[i]);
                });
        }
        case 21: {
            uint8_t b1 = number<uint8_t>(), b2 = number<uint8_t>(), b3 = number<uint8_t>();
            const std::array<std::string, 3> s{text(), text(), text()};
            const uint8_t w1 = b1, w2 = b2, w3 = b3;
            return finish(
                "identity_4",
                dez_build_identity_4(&b1, s[0].c_str(), s[1].c_str(), &b2, s[2].c_str(), &b3),
                [=](const tlv_t *m) {
                    uint8_t g1, g2, g3;
                    const char *g[3];
                    EXPECT_OK(dez_extract_identity_4(m, &g1, &g[0], &g[1], &g2, &g[2], &g3));
                    EXPECT_EQ(g1, w1);
                    EXPECT_EQ(g2, w2);
                    EXPECT_EQ(g3, w3);
                    for (int i = 0; i < 3; ++i)
                        EXPECT_EQ(std::string(g[i]), s[i]);
                });
        }
        case 22:
        case 23: {
            uint32_t n = number<uint32_t>();
            const uint32_t want = n;
            if (kind == 23)
                return finish("sensor_info_5", dez_build_sensor_info_5(&n), [want](const tlv_t *m) {
                    uint32_t got;
                    EXPECT_OK(dez_extract_sensor_info_5(m, &got));
                    EXPECT_EQ(got, want);
                });
            const Bytes data = block(300);
            return finish(
                "sensor_info",
                dez_build_sensor_info(&n, data.data(), static_cast<uint32_t>(data.size())),
                [want, data](const tlv_t *m) {
                    uint32_t got, count;
                    const uint8_t *bytes;
                    EXPECT_OK(dez_extract_sensor_info(m, &got, &bytes, &count));
                    EXPECT_EQ(got, want);
                    EXPECT_EQ(Bytes(bytes, bytes + count), data);
                });
        }
        default: {
            uint32_t r = number<uint32_t>();
            std::array<uint16_t, 6> v;
            for (auto &x : v)
                x = number<uint16_t>();
            const uint32_t wr = r & 0xFF;
            const auto wv = v;
            return finish("selftest_result",
                          dez_build_selftest_result(&r, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]),
                          [wr, wv](const tlv_t *m) {
                              uint32_t gr;
                              std::array<uint16_t, 6> g;
                              EXPECT_OK(dez_extract_selftest_result(m, &gr, &g[0], &g[1], &g[2],
                                                                    &g[3], &g[4], &g[5]));
                              EXPECT_EQ(gr, wr);
                              EXPECT_EQ(g, wv);
                          });
        }
    }
}

TEST(DezRoundTrip, EveryMessageSurvivesReassemblyInRandomChunks) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        Generator gen(seed);
        std::vector<Built> built;
        Bytes stream;
        for (int i = 0; i < 3 * Generator::kKinds; ++i) {
            built.push_back(gen.make(i % Generator::kKinds));
            stream.insert(stream.end(), built.back().wire.begin(), built.back().wire.end());
        }
        size_t next = 0;
        HVPAPMessageHandler handler(2048, [&](tlv_t *message) {
            ASSERT_LT(next, built.size());
            SCOPED_TRACE(built[next].type);
            built[next++].check(message);
        });
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min(stream.size() - at, 1 + gen.upTo(700));
            ASSERT_EQ(handler.handleMessage(stream.data() + at, static_cast<uint16_t>(n)),
                      HVPAPMessageHandlerStatusOk)
                << "seed " << seed;
            at += n;
        }
        EXPECT_EQ(next, built.size()) << "seed " << seed;
        EXPECT_EQ(handler.bufferLength(), 0u);
    }
}

}  // namespace
