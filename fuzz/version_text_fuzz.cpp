// The version texts of both updaters' command lines. coprocflash: version_analysis and the
// command line's validity test take exactly the texts of at most three components of at most
// nine characters, with atoi's value of each, and write nothing past the three numbers.
// sensorflash: a text is taken, before the device is opened, exactly when "%d.%d.%d" reads
// three numbers that fit an int; the numbers are printed as read and the third one gates.
#include "fuzz_input.h"
#include "qvn_version.h"
#include "sensorflash_main.h"
#include "stdout_capture.h"
#include "sys_shim.h"
#include "touch_controller.h"
#include "version_ref.h"

namespace {

constexpr size_t kMaxText = 64;
constexpr uint8_t kControllerVersion = 100;
constexpr int32_t kGuard = 0x5A5A5A5A;

void mcu_text(const char* text) {
    int32_t want[3] = {0, 0, 0};
    const bool ok = version_ref::mcu_version(text, want);
    FUZZ_CHECK(qvn_version_valid(text) == ok);
    int32_t got[4] = {0, 0, 0, kGuard};
    FUZZ_CHECK(version_analysis(text, got) == (ok ? 0 : -1));
    FUZZ_CHECK(got[3] == kGuard);
    if (ok) FUZZ_CHECK(memcmp(got, want, sizeof want) == 0);
}

void touch_text(const char* text) {
    board::TouchController controller;
    controller.set_version(kControllerVersion);
    shim::attach(&controller);
    char prog[] = "sensorflash", image[] = "/nonexistent/touch.bin";
    char* argv[] = {prog, image, const_cast<char*>(text), nullptr};
    StdoutCapture out;
    const int r = sensorflash_main(3, argv);
    const std::vector<std::string> lines = out.lines();
    int v[3] = {0, 0, 0};
    const bool ok = version_ref::touch_version(text, v);
    if (shim::trace().rfind("O", 0) != 0) {  // refused before the device was opened
        FUZZ_CHECK(r == -1 && !lines.empty() && lines[0].rfind("Usage: ", 0) == 0);
        FUZZ_CHECK(!ok);
        return;
    }
    FUZZ_CHECK(ok && !lines.empty());
    FUZZ_CHECK(lines[0] == "version:" + std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]));
    // Newer than the controller's version: the (missing) image is opened; else skipped.
    FUZZ_CHECK(r == (v[2] > kControllerVersion ? -1 : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char text[kMaxText + 1] = {0};
    memcpy(text, data, size < kMaxText ? size : kMaxText);
    mcu_text(text);
    touch_text(text);
    shim::attach(nullptr);
    return 0;
}
