// boardsim touch: the touch controller behind /dev/morlan_touch. The report names the rows the
// update programmed, those left damaged, and the mode the controller was left in.
#include <errno.h>
#include <stdio.h>

#include <algorithm>

#include "boardsim_boards.h"
#include "boardsim_run.h"
#include "touch_controller.h"

namespace boardsim {

namespace {

using board::TouchController;

const char* mode_text(TouchController::Mode mode) {
    switch (mode) {
    case TouchController::Mode::application:
        return "runs its application firmware";
    case TouchController::Mode::handover:
        return "is restarting into its bootloader";
    default:
        return "stays in its bootloader (no application runs until it is told to leave)";
    }
}

}  // namespace

int run_touch(const Options& o, bool private_mounts) {
    TouchController touch;
    touch.set_version(static_cast<uint8_t>(o.version));
    touch.set_rows(static_cast<uint16_t>(o.first_row), static_cast<uint16_t>(o.last_row));
    for (uint16_t row : o.bad_rows) touch.set_wrong_row_checksum(row);
    TouchController::AnswerFault silent;
    silent.no_answer = true;
    for (uint8_t cmd : o.no_answer) touch.set_answer_fault(cmd, silent);
    if (o.fail_reads > 0) touch.fail_reads(o.fail_reads, -EIO);
    testbed::Bed bed;
    bed.add_char_device("morlan_touch", &touch);

    auto process = start_command(bed, o, private_mounts);
    if (!process) return 127;
    const int status = finish_command(*process);

    std::vector<unsigned> programmed, damaged;
    for (uint16_t row : touch.programmed_rows()) {
        programmed.push_back(row);
        if (std::find(o.bad_rows.begin(), o.bad_rows.end(), row) != o.bad_rows.end()) damaged.push_back(row);
    }
    char buf[256];
    std::string text = "boardsim touch: what the touch controller saw\n";
    snprintf(buf, sizeof buf, "  firmware version byte %d, flash rows %u-%u\n", o.version, o.first_row, o.last_row);
    text += buf;
    snprintf(buf, sizeof buf, "  bootloader entry requests: %d; bootloader frames taken: %zu; exits: %d\n",
             touch.entry_requests(), touch.frames().size(), touch.exits());
    text += buf;
    text += "  rows programmed: " + ranges(programmed) + " (" + std::to_string(programmed.size()) +
            " program row commands)\n";
    text += "  rows left damaged (their checksum reads back wrong): " + ranges(damaged) + "\n";
    text += std::string("  at the end the controller ") + mode_text(touch.mode()) + "\n";
    text += log_section(*process);
    deliver_report(o, text);
    return status;
}

}  // namespace boardsim
