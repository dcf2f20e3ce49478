// boardsim's report.json: a whole-board run with a damaged touch row and an MCU update, read
// back as JSON and held against report.txt and the run itself.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

namespace {

using Json = nlohmann::json;

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ReportJson : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/boardsim-report.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::ofstream(dir_ + "/touch.bin") << std::string(387, '\x5a');  // rows 0, 1 and 127
        std::ofstream(dir_ + "/mcu.bin") << std::string(3000, '\x42');
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf " + dir_).c_str()), 0); }

    // Runs boardsim in the folder (bounded: timeout ends a hung run) and returns its status.
    int boardsim(const std::string& args) {
        const std::string cmd = "cd " + dir_ + " && timeout 60 " BOARDSIM_BIN " " + args + " >out 2>err";
        const int r = system(cmd.c_str());
        return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
    }
    std::string dir_;
};

TEST_F(ReportJson, NamesEachPartsOutcomeInTheOrderOfUseWithTheTextsFacts) {
    const std::string script = "'" SENSORFLASH_BIN " touch.bin 1.0.12; " COPROCFLASH_BIN " mcu.bin; exit 7'";
    ASSERT_EQ(boardsim("board --fast --touch-bad-row-checksum 1 --touch-new-version 12 --mcu-new-version 2.0.13 "
                       "--mcu-image mcu.bin --report rep -- sh -c " + script),
              7)
        << slurp(dir_ + "/err");
    const Json report = Json::parse(slurp(dir_ + "/rep/report.json"), nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << slurp(dir_ + "/rep/report.json");
    EXPECT_EQ(report["board"], "board");
    EXPECT_EQ(report["exit_status"], 7);
    EXPECT_EQ(report["timed_out"], false);
    const Json& parts = report["parts"];
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0]["part"], "touch");
    EXPECT_EQ(parts[0]["outcome"], "rows left damaged");
    EXPECT_EQ(parts[0]["rows_programmed"], Json({0, 1}));
    EXPECT_EQ(parts[0]["rows_damaged"], Json({1}));
    EXPECT_EQ(parts[0]["version_at_end"], 0);  // not a full update: the old byte stays
    EXPECT_EQ(parts[1]["part"], "mcu");
    EXPECT_EQ(parts[1]["outcome"], "updated, the application answers 2.0.13");
    EXPECT_EQ(parts[1]["image"]["holds_image"], true);
    EXPECT_EQ(parts[1]["write_memory_commands"], 12);  // 3000 bytes in 256-byte frames
    EXPECT_EQ(parts[1]["line"], "115200 baud, 8 data bits, even parity, 1 stop bit, raw");
    EXPECT_EQ(parts[2]["part"], "leds");
    EXPECT_EQ(parts[2]["used"], false);
    // Every fact line of the text report is in its part's object, in the same order.
    const std::string text = slurp(dir_ + "/rep/report.txt");
    size_t at = 0;
    for (const auto& part : parts) {
        for (const auto& line : part["text"]) {
            const size_t found = text.find(line.get<std::string>(), at);
            ASSERT_NE(found, std::string::npos) << line << "\n--- report.txt\n" << text;
            at = found;
        }
    }
}

}  // namespace
