// Sessions on several threads share one tree.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#include "rux_cli_xface.h"

using namespace rux;

TEST(cliSessionT, SessionsOnSeveralThreadsShareOneTree) {
    auto root = cliMenuT::create("/", "root");
    auto set = cliMenuT::create("set", "settings");
    root->add(set);
    auto speed = cliCmdT::create("speed", "set the speed");
    auto value = cliParamT::create("value", "new speed");
    value->add(cliValINT::range(0, 100));
    speed->add(value);
    std::atomic<int> runs{0};
    std::atomic<int> sum{0};
    speed->action(cliActionT::create([&](const cliArgsT& a, std::shared_ptr<cliOutputT> out) {
        ++runs;
        sum += std::stoi(a["value"]);
        cliOutputT::streamT(out) << "speed " << a["value"] << "\n";
    }));
    set->add(speed);

    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::ostringstream os;
            cliSessionT s(root);
            s.setOutput(cliVT100TermT::create(os));
            std::string keys = "set\r";
            for (int i = 0; i < kLines; ++i)
                keys += "speed " + std::to_string((i + t) % 101) + "\r\33[A\x7f\x03?\t";
            std::istringstream is(keys);
            cliVT100InputDecoderT(is).run(s);
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(runs.load(), kThreads * kLines);
    int want = 0;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kLines; ++i)
            want += (i + t) % 101;
    EXPECT_EQ(sum.load(), want);
}
