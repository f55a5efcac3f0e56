// check_error, the error check that the programs make after every SDK call,
// called in-process: nothing for no error, one whole report when two threads
// fail at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "check_error.h"
#include "harness.h"

namespace {

TEST(CheckError, NullReturnsAndPrintsNothing) {
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; i++) check_error(nullptr);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(CheckError, TwoThreadsAtOnceGiveOneReport) {
    harness::Scratch dir;
    std::string out = dir.path("out.txt");
    EXPECT_EXIT(
        {
            freopen(out.c_str(), "w", stdout);
            vt_error* a = nullptr;
            vt_error* b = nullptr;
            vt_frame_width(nullptr, &a);
            vt_frame_height(nullptr, &b);
            std::thread first([a] { check_error(a); });
            std::thread second([b] { check_error(b); });
            first.join();
            second.join();
        },
        testing::ExitedWithCode(1), "");
    std::string text = harness::read_file(out);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
    EXPECT_NE(text.find("error message:    the frame handle is null\nerror Type:    2\n"),
              std::string::npos)
        << text;
}

}  // namespace
