// Standard output of the code under test, captured as whole lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0, nl;
    while ((nl = text.find('\n', pos)) != std::string::npos) {
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    if (pos < text.size()) lines.push_back(text.substr(pos));  // an unfinished last line
    return lines;
}

class StdoutCapture {
public:
    StdoutCapture() { testing::internal::CaptureStdout(); }
    ~StdoutCapture() {
        if (!done_) lines();
    }
    std::vector<std::string> lines() {
        fflush(stdout);
        done_ = true;
        return split_lines(testing::internal::GetCapturedStdout());
    }

private:
    bool done_ = false;
};

using Lines = std::vector<std::string>;
