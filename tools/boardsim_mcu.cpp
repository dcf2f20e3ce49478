// boardsim mcu: the MCU on /dev/ttyS1 with its boot-select and reset lines in sysfs GPIO. It
// starts with an old application in flash. The report is the flash map the run left and
// whether the application answers afterwards.
#include <stdio.h>

#include "boardsim_boards.h"
#include "boardsim_run.h"
#include "mcu_model.h"
#include "sysfs_gpio.h"

namespace boardsim {

namespace {

using board::McuModel;

constexpr uint32_t kOldFirmwareSize = 128 * 1024;  // the application in flash before the run
constexpr uint8_t kOldFirmwareByte = 0x00;
constexpr uint32_t kPagesPerLine = 64;

// One character per page: '#' written in this run, '.' erased, 'o' old firmware.
std::string flash_map(const McuModel& mcu) {
    std::vector<bool> written(McuModel::kPages, false);
    for (const auto& c : mcu.commands()) {
        for (uint16_t p : c.pages) written[p] = false;
        if (!c.data.empty()) {
            uint32_t first = (c.address - McuModel::kFlashBase) / McuModel::kPageSize;
            uint32_t last = (c.address - McuModel::kFlashBase + static_cast<uint32_t>(c.data.size()) - 1) / McuModel::kPageSize;
            for (uint32_t p = first; p <= last && p < McuModel::kPages; ++p) written[p] = true;
        }
    }
    const std::vector<uint8_t> flash = mcu.flash();
    std::string out;
    char buf[32];
    for (uint32_t page = 0; page < McuModel::kPages; ++page) {
        if (page % kPagesPerLine == 0) {
            snprintf(buf, sizeof buf, "    0x%08x ", McuModel::kFlashBase + page * McuModel::kPageSize);
            out += buf;
        }
        bool erased = true;
        for (uint32_t i = page * McuModel::kPageSize; i < (page + 1) * McuModel::kPageSize; ++i)
            if (flash[i] != 0xFF) erased = false;
        out += erased ? '.' : written[page] ? '#' : 'o';
        if (page % kPagesPerLine == kPagesPerLine - 1) out += '\n';
    }
    return out;
}

std::string afterwards(const McuModel& mcu, const Options& o) {
    std::string version;
    if (mcu.answers_version(&version)) return "the application answers the version query: " + version;
    switch (mcu.mode()) {
    case McuModel::Mode::bootloader:
        return "no application answers: the MCU stays in its ROM bootloader until the next reset";
    case McuModel::Mode::in_reset:
        return "no application answers: the MCU is held in reset";
    default:
        return o.app_silent ? "no application answers: it runs, but never answers (--app-silent)"
                            : "no application answers: the flash holds none (erased at its base)";
    }
}

}  // namespace

int run_mcu(const Options& o, bool private_mounts) {
    testbed::Bed bed;
    const int master = bed.add_tty("ttyS1");
    McuModel mcu(master);
    // Declared after the MCU, so its thread (which calls into the MCU) ends first.
    board::SysfsGpio gpio(bed.sys_dir());
    mcu.attach(gpio);
    mcu.set_version(o.app_version);
    if (!o.new_version.empty()) mcu.set_version_after_update(o.new_version);
    mcu.set_flash(0, std::vector<uint8_t>(kOldFirmwareSize, kOldFirmwareByte));
    mcu.set_app_needs_flash(true);
    mcu.set_app_silent(o.app_silent);
    mcu.set_bootloader_silent_entries(o.silent_bootloader);
    if (o.nack_erase > 0) mcu.nack_next(McuModel::Stage::erase_pages, o.nack_erase);
    mcu.set_paced(o.paced);

    auto process = start_command(bed, o, private_mounts);
    if (!process) return 127;
    const int status = finish_command(*process);
    gpio.drain();  // the last writes to the lines, before the report looks at the MCU

    size_t erased_pages = 0, erases = 0, writes = 0, written = 0;
    for (const auto& c : mcu.commands()) {
        if (c.data.empty()) {
            ++erases;
            erased_pages += c.pages.empty() ? McuModel::kPages : c.pages.size();
        } else {
            ++writes;
            written += c.data.size();
        }
    }
    const int entries = mcu.bootloader_entries();
    char buf[256];
    std::string text = "boardsim mcu: what the MCU saw\n";
    snprintf(buf, sizeof buf, "  application %s before the run, %u KiB of old firmware in flash\n", o.app_version.c_str(),
             kOldFirmwareSize / 1024);
    text += buf;
    const auto line = bed.line_settings("ttyS1");
    text += "  line: " + (line.empty() ? std::string("never set up by the program") : testbed::describe_line(line.back())) +
            "\n";
    snprintf(buf, sizeof buf, "  version queries: %d; bootloader entries: %d (silent in %d)\n", mcu.version_queries(),
             entries, std::min(entries, o.silent_bootloader));
    text += buf;
    snprintf(buf, sizeof buf, "  bootloader commands done: %zu erase (%zu pages), %zu write memory (%zu bytes)\n", erases,
             erased_pages, writes, written);
    text += buf;
    snprintf(buf, sizeof buf, "  flash map, one character per %u KiB page ('#' written in this run, '.' erased, 'o' old firmware):\n",
             McuModel::kPageSize / 1024);
    text += buf;
    text += flash_map(mcu);
    text += "  afterwards " + afterwards(mcu, o) + "\n";
    text += log_section(*process);
    deliver_report(o, text);
    return status;
}

}  // namespace boardsim
