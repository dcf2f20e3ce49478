// Demo: runs the real coprocflash binary against the simulated board (MCU model at version
// 2.0.9 with old firmware in its flash) and prints the flash map the update leaves.
// Usage: coproc_demo [image-file [version]]   (default: a generated 70 KiB + 3 image, 2.0.13)
#include <stdio.h>

#include <fstream>
#include <iterator>

#include "e2e_harness.h"

using namespace e2e;
using board::McuModel;

int main(int argc, char** argv) {
    Bytes image;
    if (argc > 1) {
        std::ifstream in(argv[1], std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        image = pattern(70 * 1024 + 3, 42);
    }
    const std::string version = argc > 2 ? argv[2] : "2.0.13";
    Board b;
    b.mcu.set_version("2.0.9");
    b.mcu.set_version_after_update(version);
    b.mcu.set_flash(0, Bytes(300 * 1024, 0x00));  // the old firmware, beyond the erased area too
    printf("coprocflash demo: %zu-byte image, version %s, MCU at 2.0.9\n", image.size(), version.c_str());
    auto p = b.run({b.image("fw.bin", image), version});
    if (!p) return 2;
    const int status = p->wait_exit(std::chrono::seconds(120));
    for (const auto& l : p->output_lines())
        if (l.rfind("[UART - ", 0) != 0 && l.rfind("[MCU - wait_ack]", 0) != 0 && l.find("write 256 byte") == std::string::npos)
            printf("  | %s\n", l.c_str());
    printf("exit status %d\n", status);

    const Bytes flash = b.mcu.flash();
    printf("\nflash map, one character per 2 KiB page from 0x%08x ('#' the image, '.' erased, 'o' old content):\n",
           McuModel::kFlashBase);
    size_t image_pages = 0, erased_pages = 0, old_pages = 0;
    for (uint32_t page = 0; page < McuModel::kPages; ++page) {
        if (page % 64 == 0) printf("  0x%08x ", McuModel::kFlashBase + page * McuModel::kPageSize);
        const size_t off = page * McuModel::kPageSize;
        bool erased = true, matches = off < image.size();
        for (size_t i = off; i < off + McuModel::kPageSize; ++i) {
            if (flash[i] != 0xFF) erased = false;
            uint8_t want = i < image.size() ? image[i] : 0xFF;
            if (flash[i] != want) matches = false;
        }
        char c = matches ? '#' : erased ? '.' : 'o';
        image_pages += c == '#';
        erased_pages += c == '.';
        old_pages += c == 'o';
        putchar(c);
        if (page % 64 == 63) putchar('\n');
    }
    printf("pages: %zu image, %zu erased, %zu old; %zu bootloader commands on the line\n", image_pages, erased_pages,
           old_pages, b.mcu.commands().size());
    return status;
}
