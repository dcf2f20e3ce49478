// boardsim's report.json (a whole-board run with a damaged touch row and an MCU update, read
// back as JSON and held against report.txt and the run itself; a run cut by --timeout) and the
// --state file, read back after runs of different boards on it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "bed.h"

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
    const std::string script =
        "'" + std::string(SENSORFLASH_BIN) + " touch.bin 1.0.12; " + COPROCFLASH_BIN + " mcu.bin; exit 7'";
    ASSERT_EQ(boardsim("board --fast --touch-bad-row-checksum 1 --touch-new-version 12 --mcu-new-version 2.0.13 "
                       "--mcu-image mcu.bin --report rep -- sh -c " + script),
              7)
        << slurp(dir_ + "/err");
    const Json report = Json::parse(slurp(dir_ + "/rep/report.json"), nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << slurp(dir_ + "/rep/report.json");
    EXPECT_EQ(report["format"], "boardsim-report");
    EXPECT_EQ(report["format_version"], 3);
    EXPECT_EQ(report["board"], "board");
    EXPECT_EQ(report["exit_status"], 7);
    EXPECT_EQ(report["boardsim_status"], 7);
    EXPECT_EQ(report["timed_out"], false);
    // The programs' pauses (restarts, hand-overs) pass on the board's clock, not the wall's.
    EXPECT_EQ(report["clock"], "virtual");
    EXPECT_GT(report["board_seconds"].get<double>(), 5);
    EXPECT_LT(report["wall_seconds"].get<double>(), report["board_seconds"].get<double>());
    EXPECT_EQ(report["files"], Json({"report.txt", "report.json", "leds-timeline.svg"}));
    for (const auto& f : report["files"]) EXPECT_FALSE(slurp(dir_ + "/rep/" + f.get<std::string>()).empty()) << f;
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
    EXPECT_EQ(parts[2]["files"], Json({"leds-timeline.svg"}));
    EXPECT_FALSE(parts[0].contains("files"));
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

// Under --timeout, exit_status is COMMAND's own (its INT handler's 3) and boardsim's is 124.
TEST_F(ReportJson, TellsCommandsOwnStatusAndBoardsimsApartUnderTimeout) {
    ASSERT_EQ(boardsim("touch --timeout 1 --report rep -- sh -c 'trap \"exit 3\" INT; sleep 30 & wait'"), 124)
        << slurp(dir_ + "/err");
    const Json report = Json::parse(slurp(dir_ + "/rep/report.json"), nullptr, false);
    EXPECT_EQ(report["exit_status"], 3);
    EXPECT_EQ(report["boardsim_status"], 124);
    EXPECT_EQ(report["timed_out"], true);
    EXPECT_EQ(report["files"], Json({"report.txt", "report.json"}));
}

// One state file, four boards in turn: each run keeps the other parts' saved state as it was,
// restores its own exactly, and an option on the command line overrides the saved value.
TEST_F(ReportJson, StateFileKeepsEveryPartAcrossBoardsAndYieldsToTheCommandLine) {
    // Runs a board on s.json; the state it left, with `part` taken over from it into `before`
    // (which must then be the whole file: the other parts' state untouched).
    const auto run = [&](const std::string& args, int status, Json before, const char* part) {
        const std::string line = args.substr(0, args.find(' ')) + " --state s.json" + args.substr(args.find(' '));
        EXPECT_EQ(boardsim(line), status) << line << "\n" << slurp(dir_ + "/err");
        const Json now = Json::parse(slurp(dir_ + "/s.json"), nullptr, false);
        if (part) before[part] = now[part];
        EXPECT_EQ(now, before) << args;
        return now;
    };
    const std::string both =
        "'" + std::string(SENSORFLASH_BIN) + " touch.bin 1.0.12; " + COPROCFLASH_BIN + " mcu.bin 2.0.13";
    const Json first = run("touch --fast --new-version 12 -- " + std::string(SENSORFLASH_BIN) + " touch.bin 1.0.12", 0,
                           {{"format", "boardsim-board-state"}, {"version", 1}}, "touch");
    EXPECT_EQ(first["touch"]["version"], 12);
    EXPECT_EQ(first["touch"]["mode"], "application");
    EXPECT_EQ(first["touch"]["rows"].size(), 3u);  // rows 0, 1 and 127
    const Json second =
        run("mcu --fast --new-version 2.0.13 -- " + std::string(COPROCFLASH_BIN) + " mcu.bin 2.0.13", 0, first, "mcu");
    std::string page1;  // the image's last 952 bytes (0x42), then erased flash
    for (int i = 0; i < 2048; ++i) page1 += i < 952 ? "42" : "ff";
    EXPECT_EQ(second["mcu"], Json({{"version", "2.0.13"}, {"application_damaged", false},
                                   {"flash", {{{"page", 0}, {"fill", 0x42}}, {{"page", 1}, {"hex", page1}}}}}));
    // The whole board finds both updates done and restores both exactly; the LEDs join the file.
    const Json third = run("board --fast -- sh -c " + both + "'", 255, second, "leds");
    EXPECT_NE(slurp(dir_ + "/out").find("ver=12, new_ver=12"), std::string::npos) << slurp(dir_ + "/out");
    EXPECT_NE(slurp(dir_ + "/out").find("mcu already new version!"), std::string::npos) << slurp(dir_ + "/out");
    EXPECT_EQ(third["leds"], Json::parse(R"({"chips": [true, true]})"));
    Json fourth = third;
    fourth["leds"]["chips"][1] = false;
    run("leds --chip-missing 2 -- " + std::string(LUMEND_BIN), 1, fourth, nullptr);
    // The command line over the saved state: the version byte and the MCU's version; the chip
    // stays missing (lumend ends with 1).
    Json fifth = fourth;
    fifth["touch"]["version"] = 11;  // an update without --new-version keeps the old byte
    fifth["mcu"]["version"] = "2.0.9";
    run("board --fast --version 0x0b --app-version 2.0.9 -- sh -c " + both + "; " + LUMEND_BIN + "'", 1, fifth, nullptr);
    EXPECT_NE(slurp(dir_ + "/out").find("ver=11, new_ver=12"), std::string::npos) << slurp(dir_ + "/out");
    EXPECT_EQ(slurp(dir_ + "/out").find("mcu already new version!"), std::string::npos) << slurp(dir_ + "/out");
}

}  // namespace
