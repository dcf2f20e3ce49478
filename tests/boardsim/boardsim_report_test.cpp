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
    EXPECT_EQ(report["format"], "boardsim-report");
    EXPECT_EQ(report["format_version"], 2);
    EXPECT_EQ(report["board"], "board");
    EXPECT_EQ(report["exit_status"], 7);
    EXPECT_EQ(report["boardsim_status"], 7);
    EXPECT_EQ(report["timed_out"], false);
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
    const auto state = [&] { return Json::parse(slurp(dir_ + "/s.json"), nullptr, false); };
    const auto keys = [](const Json& j) {
        std::string out;
        for (const auto& item : j.items()) out += item.key() + " ";
        return out;
    };
    ASSERT_EQ(boardsim("touch --state s.json --new-version 12 -- " SENSORFLASH_BIN " touch.bin 1.0.12"), 0)
        << slurp(dir_ + "/err");
    const Json first = state();
    EXPECT_EQ(keys(first), "format touch version ");  // (read back in key order)
    EXPECT_EQ(first["format"], "boardsim-board-state");
    EXPECT_EQ(first["version"], 1);
    EXPECT_EQ(first["touch"]["version"], 12);
    EXPECT_EQ(first["touch"]["mode"], "application");
    EXPECT_EQ(keys(first["touch"]["rows"]), "0 1 127 ");
    const Json touch = first["touch"];

    ASSERT_EQ(boardsim("mcu --state s.json --new-version 2.0.13 -- " COPROCFLASH_BIN " mcu.bin 2.0.13"), 0)
        << slurp(dir_ + "/err");
    const Json second = state();
    EXPECT_EQ(keys(second), "format mcu touch version ");
    EXPECT_EQ(second["touch"], touch);
    EXPECT_EQ(second["mcu"]["version"], "2.0.13");
    EXPECT_EQ(second["mcu"]["application_damaged"], false);
    ASSERT_EQ(second["mcu"]["flash"].size(), 2u);  // 3000 bytes: two 2 KiB pages
    EXPECT_EQ(second["mcu"]["flash"][0]["page"], 0);
    EXPECT_EQ(second["mcu"]["flash"][0]["fill"], 0x42);
    const Json mcu = second["mcu"];

    // The whole board finds both updates done.
    ASSERT_EQ(boardsim("board --state s.json --fast -- sh -c '" SENSORFLASH_BIN " touch.bin 1.0.12; " COPROCFLASH_BIN
                       " mcu.bin 2.0.13'"),
              255)
        << slurp(dir_ + "/err");
    EXPECT_NE(slurp(dir_ + "/out").find("ver=12, new_ver=12"), std::string::npos) << slurp(dir_ + "/out");
    EXPECT_NE(slurp(dir_ + "/out").find("mcu already new version!"), std::string::npos) << slurp(dir_ + "/out");
    const Json third = state();
    EXPECT_EQ(keys(third), "format leds mcu touch version ");
    EXPECT_EQ(third["touch"], touch);
    EXPECT_EQ(third["mcu"], mcu);
    EXPECT_EQ(third["leds"], Json::parse(R"({"chips": [true, true]})"));

    ASSERT_EQ(boardsim("leds --state s.json --chip-missing 2 -- " LUMEND_BIN), 1) << slurp(dir_ + "/err");
    const Json fourth = state();
    EXPECT_EQ(fourth["leds"], Json::parse(R"({"chips": [true, false]})"));
    EXPECT_EQ(fourth["touch"], touch);
    EXPECT_EQ(fourth["mcu"], mcu);

    // Overrides: the touch version byte and the MCU's version from the command line; the missing
    // chip stays missing from the saved state.
    ASSERT_EQ(boardsim("board --state s.json --fast --version 0x0b --app-version 2.0.9 -- sh -c '" SENSORFLASH_BIN
                       " touch.bin 1.0.12; " COPROCFLASH_BIN " mcu.bin 2.0.13; " LUMEND_BIN "'"),
              1)
        << slurp(dir_ + "/err");
    EXPECT_NE(slurp(dir_ + "/out").find("ver=11, new_ver=12"), std::string::npos) << slurp(dir_ + "/out");
    EXPECT_EQ(slurp(dir_ + "/out").find("mcu already new version!"), std::string::npos) << slurp(dir_ + "/out");
    const Json fifth = state();
    EXPECT_EQ(fifth["touch"]["version"], 11);  // an update without --new-version keeps the old byte
    EXPECT_EQ(fifth["touch"]["rows"], touch["rows"]);
    EXPECT_EQ(fifth["mcu"]["version"], "2.0.9");
    EXPECT_EQ(fifth["mcu"]["flash"], mcu["flash"]);
    EXPECT_EQ(fifth["leds"], fourth["leds"]);
}

}  // namespace
