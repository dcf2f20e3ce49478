// Demo: one touch firmware update of the real sensorflash binary on the simulated board.
// Usage: sensorflash_demo <sensorflash binary> [packets]; exit 0 when every row holds its packet.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bed.h"
#include "touch_fixtures.h"
#include "touch_controller.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <sensorflash binary> [packets]\n", argv[0]);
        return 2;
    }
    const size_t packets = argc > 2 ? static_cast<size_t>(atoi(argv[2])) : 4;
    const int version = 11;  // older than the image's 12

    board::TouchController touch;
    touch.set_rows(0, 127);
    touch.set_version(static_cast<uint8_t>(version));
    testbed::Bed bed;
    bed.add_char_device("morlan_touch", &touch);
    std::vector<uint8_t> img = make_image(packets);
    std::string path = bed.make_file("touch.bin", std::string(img.begin(), img.end()));

    printf("== simulated controller: firmware version %d, flash rows 0-127\n", version);
    printf("== running: sensorflash touch.bin 1.0.12 (%zu packets)\n", packets);
    auto proc = bed.start({argv[1], path, "1.0.12"});
    if (!proc) return 2;
    int status = proc->wait_exit(std::chrono::milliseconds(60000));
    for (const auto& line : proc->output_lines()) printf("   | %s\n", line.c_str());
    printf("== exit status %d\n", status);

    auto rows = touch.programmed_rows();
    auto flash = touch.flash();
    size_t good = 0;
    for (size_t k = 0; k < rows.size() && k < packets; ++k) {
        const uint16_t row = k + 1 == packets ? 127 : static_cast<uint16_t>(k);
        if (rows[k] == row && std::vector<uint8_t>(flash[row].begin(), flash[row].end()) == image_row(img, k)) ++good;
    }
    printf("== rows programmed:");
    for (uint16_t r : rows) printf(" %u", r);
    printf("\n== %zu of %zu rows hold their image packet; %zu control requests, %zu frames\n", good, packets,
           touch.ioctls().size(), touch.frames().size());
    return status == 0 && good == packets ? 0 : 1;
}
