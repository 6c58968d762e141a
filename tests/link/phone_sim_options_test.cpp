// Command-line options of the phone simulator.
#include <gtest/gtest.h>

#include <functional>

#include "tools/phone-sim/phone_sim_options.h"

namespace {

int parse(std::vector<std::string> args, phone_sim_options *o, std::string *msg) {
    args.insert(args.begin(), "phone-sim");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    return phone_sim_parse_args(int(argv.size()), argv.data(), o, msg);
}

TEST(PhoneSimOptions, EachOptionSetsItsField) {
    struct row {
        std::vector<std::string> args;
        std::function<bool(const phone_sim_options &)> check;
    };
    const row rows[] = {
        {{"--port", "0"}, [](auto &o) { return o.port == 0; }},
        {{"--plain"}, [](auto &o) { return !o.tls; }},
        {{"--plain", "--tls"}, [](auto &o) { return o.tls; }},
        {{"--old-format"}, [](auto &o) { return !o.new_format; }},
        {{"--format-version", "1"}, [](auto &o) { return o.format_version == 1; }},
        {{"--pair-mode", "1", "--code", "0042"},
         [](auto &o) { return o.pair_mode == 1 && o.pair_code == "0042"; }},
        {{"--announce", "10026", "--announce-to", "127.0.0.2", "--announce-interval", "250"},
         [](auto &o) {
             return o.announce_port == 10026 && o.announce_to == "127.0.0.2" &&
                    o.announce_interval_ms == 250;
         }},
        {{"--mac", "m", "--ip", "10.0.0.9", "--phone-name", "n", "--conv-id", "c"},
         [](auto &o) {
             return o.phone_mac == "m" && o.phone_ip == "10.0.0.9" && o.phone_name == "n" &&
                    o.pair_conv_id == "c" && phone_sim_own_ip(&o) == "10.0.0.9";
         }},
        {{"--vid", "0x1234", "--pid", "4660", "--rev", "0x0102"},
         [](auto &o) {
             return o.device_vid == 0x1234 && o.device_pid == 4660 && o.device_rev == 0x0102;
         }},
        {{"--name", "N", "--codec", "G722", "--codec-rate", "8000", "--sw-version", "s",
          "--sip-version", "p", "--update-url", "u", "--gruu", "g"},
         [](auto &o) {
             return o.device_name == "N" && o.codec_name == "G722" && o.codec_samplerate == 8000 &&
                    o.sw_version == "s" && o.sip_version == "p" && o.update_url == "u" &&
                    o.device_gruu == "g";
         }},
        {{"--no-codec-rate"}, [](auto &o) { return !o.send_samplerate; }},
        {{"--active", "none"}, [](auto &o) { return o.active == PHONE_SIM_ACTIVE_NONE; }},
        {{"--active", "failed"}, [](auto &o) { return o.active == PHONE_SIM_ACTIVE_FAILED; }},
        {{"--no-keepalive"}, [](auto &o) { return !o.answer_keepalive; }},
        {{"--no-remember"}, [](auto &o) { return !o.remember_conv_id; }},
        {{"--script", "/x"}, [](auto &o) { return o.script == "/x"; }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.args[0]);
        phone_sim_options o;
        std::string msg;
        ASSERT_EQ(parse(r.args, &o, &msg), 0) << msg;
        EXPECT_TRUE(r.check(o));
    }
}

TEST(PhoneSimOptions, DefaultsAndRefusals) {
    phone_sim_options o;
    std::string msg;
    ASSERT_EQ(parse({}, &o, &msg), 0);
    EXPECT_EQ(o.port, 7063);
    EXPECT_TRUE(o.tls);
    EXPECT_TRUE(o.new_format);
    EXPECT_EQ(o.bind_addr, "127.0.0.1");
    EXPECT_EQ(phone_sim_own_ip(&o), "127.0.0.1");
    EXPECT_EQ(parse({"--help"}, &o, &msg), 1);

    // Texts that would not fit the old format's fixed fields are refused, not cut.
    for (std::vector<std::string> bad : {
             std::vector<std::string>{"--vid", "0x10000"},
             {"--vid", "12abc"},
             {"--format-version", "0"},
             {"--announce-interval", "0"},
             {"--ip", "phone.local"},
             {"--mac", std::string(32, 'a')},
             {"--conv-id", std::string(48, 'c')},
             {"--code", ""},
             {"--port", "-1"},
         }) {
        SCOPED_TRACE(bad[0] + " " + bad[1]);
        phone_sim_options fresh;
        EXPECT_EQ(parse(bad, &fresh, &msg), -1);
        EXPECT_NE(msg.find(bad[0]), std::string::npos) << msg;
    }
}

}  // namespace
