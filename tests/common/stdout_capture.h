// Captures what the code under test prints on standard output, as whole lines.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Lines = std::vector<std::string>;

class StdoutCapture {
public:
    StdoutCapture() {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        file_ = tmpfile();
        dup2(fileno(file_), STDOUT_FILENO);
    }
    ~StdoutCapture() { stop(); }
    // Ends the capture (idempotent) and returns everything printed.
    std::string text() {
        stop();
        return text_;
    }
    // Lines without their newline; an unfinished last line is kept as it is.
    Lines lines() {
        Lines out;
        std::string all = text();
        size_t pos = 0, nl;
        while ((nl = all.find('\n', pos)) != std::string::npos) {
            out.push_back(all.substr(pos, nl - pos));
            pos = nl + 1;
        }
        if (pos < all.size()) out.push_back(all.substr(pos));
        return out;
    }

private:
    void stop() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0) text_.append(buf, n);
        fclose(file_);
        // A failing assertion inside the capture printed into it: show it.
        if (::testing::Test::HasFailure()) fprintf(stderr, "%s", text_.c_str());
    }
    int saved_ = -1;
    FILE* file_ = nullptr;
    std::string text_;
};
