// The touch part: the touch controller behind /dev/morlan_touch. Its lasting state is the flash
// rows, the version byte, the rows left damaged and whether it stays in its bootloader; the
// report names the rows programmed and damaged, the mode it was left in, whether the flash
// holds the image given with --image, and how often each fault option took effect.
#include <errno.h>
#include <stdio.h>

#include <algorithm>
#include <stdexcept>

#include "boardsim_part.h"
#include "boardsim_replay.h"
#include "boardsim_run.h"
#include "touch_controller.h"

namespace boardsim {

namespace {

using board::TouchController;

const char* const kNodePath = "/dev/morlan_touch";  // as the programs name it
const char* const kTitle = "boardsim touch: what the touch controller saw";
constexpr size_t kPacketSize = 129;  // image packet: a 128-byte row and one unused byte

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

bool in_bootloader(TouchController::Mode mode) { return mode != TouchController::Mode::application; }

// The image's rows as the bootloader loop places them: packet k into first + k, the last
// packet into last.
std::map<uint16_t, TouchController::Row> image_rows(const std::string& bytes, unsigned first, unsigned last) {
    std::map<uint16_t, TouchController::Row> rows;
    const size_t packets = bytes.size() / kPacketSize;
    for (size_t k = 0; k < packets; ++k) {
        const uint16_t row = static_cast<uint16_t>(k + 1 == packets ? last : first + k);
        std::copy_n(bytes.begin() + static_cast<long>(k * kPacketSize), TouchController::ROW_SIZE, rows[row].begin());
    }
    return rows;
}

constexpr unsigned long kLastRow = 0xFFFF;  // row numbers are 16-bit

// A saved row number: a whole number 0-65535 (as JSON number or as the key of a row).
uint16_t row_number(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) > kLastRow)
        throw std::runtime_error("row " + text + ": a row number 0-65535");
    return static_cast<uint16_t>(std::stoul(text));
}

// One injected fault as the report counts it.
struct FaultUse {
    std::string option, value;
    int took_effect;
    const char *one, *many;  // what it did, for the text line
};

class TouchPart : public Part {
public:
    explicit TouchPart(const TouchOptions& o) : o_(o) {}
    Board kind() const override { return Board::touch; }

    void load(const Json& state) override {
        const Json& version = state.at("version");
        int v = 0;
        const std::string rule =
            version.is_number_integer() ? parse_touch_version(version.dump(), &v) : parse_touch_version("", &v);
        if (!rule.empty()) throw std::runtime_error("version " + version.dump() + ": " + rule);
        version_ = static_cast<uint8_t>(v);
        bootloader_ = state.at("mode").get<std::string>() == "bootloader";
        if (!bootloader_ && state.at("mode").get<std::string>() != "application") throw std::runtime_error("mode");
        for (const auto& row : state.at("damaged_rows"))
            damaged_.push_back(row_number(row.is_number_unsigned() ? row.dump() : ""));
        for (const auto& r : state.at("rows").items()) {
            const std::vector<uint8_t> bytes = from_hex(r.value().get<std::string>());
            if (bytes.size() != TouchController::ROW_SIZE) throw std::runtime_error("row size");
            TouchController::Row row;
            std::copy(bytes.begin(), bytes.end(), row.begin());
            rows_[row_number(r.key())] = row;
        }
    }

    bool replay(ReplaySource& source) override {
        if (!board::trace_has(source.trace, kNodePath)) return false;
        replay_source_ = &source;
        return true;
    }

    Json save() const override {
        Json rows = Json::object();
        for (const auto& r : touch_.flash()) rows[std::to_string(r.first)] = to_hex(r.second.data(), r.second.size());
        return {{"version", touch_.version()},
                {"mode", in_bootloader(touch_.mode()) ? "bootloader" : "application"},
                {"damaged_rows", touch_.damaged_rows()},
                {"rows", rows}};
    }

    void set_up(testbed::Bed& bed) override {
        if (replay_source_) {
            const auto events = board::events_on(replay_source_->trace, kNodePath);
            int err = 0;
            if (board::node_absent(events, &err)) {
                bed.fail_open(kNodePath, err);  // as in the recording: no node to open
                return;
            }
            replay_.reset(new board::CharReplay(kNodePath, events, replay_source_->session));
            bed.add_char_device("morlan_touch", replay_.get());
            return;
        }
        if (o_.version >= 0) version_ = static_cast<uint8_t>(o_.version);
        if (!o_.image.empty() && !read_file(o_.image, &image_)) image_.clear();
        start_version_ = version_;
        touch_.set_version(version_);
        touch_.set_version_after_update(o_.new_version);
        if (bootloader_) touch_.set_mode(TouchController::Mode::bootloader);
        touch_.set_rows(static_cast<uint16_t>(o_.first_row), static_cast<uint16_t>(o_.last_row));
        // The restart lasts MS on the board's clock.
        touch_.set_handover_time(std::chrono::milliseconds(o_.handover_ms));
        for (const auto& r : rows_) touch_.set_row(r.first, r.second);
        for (uint16_t row : damaged_) touch_.set_damaged_row(row);
        for (uint16_t row : o_.bad_rows) touch_.set_wrong_row_checksum(row);
        // All the faults given for one command spoil its answers together.
        std::map<uint8_t, TouchController::AnswerFault> answer_faults;
        for (uint8_t cmd : o_.no_answer) answer_faults[cmd].no_answer = true;
        for (const auto& f : o_.answer_faults) {
            TouchController::AnswerFault& fault = answer_faults[f.command];
            if (f.kind == TouchAnswerFault::bad_checksum) fault.bad_checksum = true;
            if (f.kind == TouchAnswerFault::bad_end) fault.bad_end = true;
            if (f.kind == TouchAnswerFault::status) fault.status = f.value;
            if (f.kind == TouchAnswerFault::late) fault.ready_poll = f.value;
        }
        for (const auto& f : answer_faults) touch_.set_answer_fault(f.first, f.second);
        for (uint8_t cmd : o_.refuse_frames) touch_.fail_frame_writes(cmd, -EIO);
        if (o_.fail_reads > 0) touch_.fail_reads(o_.fail_reads, -EIO);
        if (o_.fail_writes > 0) touch_.fail_writes(o_.fail_writes, -EIO);
        bed.add_char_device("morlan_touch", &touch_);
    }

    std::string activity() const override {
        if (replay_source_) return "";
        return in_bootloader(touch_.mode()) ? "the touch controller's bootloader" : "";
    }

    bool first_use(Clock::time_point* when) const override {
        bool used = false;
        auto take = [&](Clock::time_point t) {
            if (!used || t < *when) *when = t;
            used = true;
        };
        if (replay_) {
            for (const auto& t : replay_->opens()) take(t);
            return used;
        }
        for (const auto& t : touch_.opens()) take(t);
        for (const auto& c : touch_.ioctls()) take(c.at);
        for (const auto& c : touch_.writes()) take(c.at);
        for (const auto& c : touch_.reads()) take(c.at);
        return used;
    }

    Section report(const RunRecord&) const override {
        if (replay_source_) return replay_section(kTitle, *replay_source_, {kNodePath});
        Section s;
        s.title = kTitle;
        s.notation = "rows are 128-byte flash rows by number, a-b a range; a damaged row was programmed but its "
                     "checksum reads back wrong";
        std::vector<unsigned> programmed, damaged;
        for (uint16_t row : touch_.programmed_rows()) programmed.push_back(row);
        for (uint16_t row : touch_.damaged_rows()) damaged.push_back(row);
        char buf[256];
        snprintf(buf, sizeof buf, "firmware version byte %d at the start, %d at the end; flash rows %u-%u", start_version_,
                 touch_.version(), o_.first_row, o_.last_row);
        s.lines.push_back(buf);
        if (bootloader_) s.lines.push_back("at the start the controller was in its bootloader (left there by an earlier run)");
        if (!damaged_.empty())
            s.lines.push_back("rows damaged at the start (left so by an earlier run): " +
                              ranges(std::vector<unsigned>(damaged_.begin(), damaged_.end())));
        snprintf(buf, sizeof buf, "bootloader entry requests: %d; bootloader frames taken: %zu; exits: %d",
                 touch_.entry_requests(), touch_.frames().size(), touch_.exits());
        s.lines.push_back(buf);
        s.lines.push_back("rows programmed: " + ranges(programmed) + " (" +
                          counted(programmed.size(), "program row command", "program row commands") + ")");
        s.lines.push_back("rows left damaged (their checksum reads back wrong): " + ranges(damaged));
        s.lines.push_back(std::string("at the end the controller ") + mode_text(touch_.mode()));
        if (in_bootloader(touch_.mode()))
            s.outcome = "left in its bootloader";
        else if (!damaged.empty())
            s.outcome = "rows left damaged";
        else if (programmed.empty())
            s.outcome = "not updated";
        else if (touch_.version() != start_version_)
            s.outcome = "updated to version " + std::to_string(touch_.version());
        else
            s.outcome = "rows programmed, version unchanged";
        Json image_facts;
        s.lines.push_back(image_check(&image_facts));
        Json faults = Json::array();
        std::string fault_text;
        for (const FaultUse& f : fault_uses()) {
            faults.push_back({{"option", f.option}, {"value", f.value}, {"took_effect", f.took_effect}});
            fault_text += (fault_text.empty() ? "" : "; ") + f.option + " " + f.value + ": " +
                          counted(static_cast<unsigned long>(f.took_effect), f.one, f.many);
        }
        if (!fault_text.empty()) s.lines.push_back("injected faults, how often they took effect: " + fault_text);
        s.facts = {{"version_at_start", start_version_},
                   {"version_at_end", touch_.version()},
                   {"rows", {o_.first_row, o_.last_row}},
                   {"started_in_bootloader", bootloader_},
                   {"rows_damaged_at_start", damaged_},
                   {"entry_requests", touch_.entry_requests()},
                   {"frames", touch_.frames().size()},
                   {"exits", touch_.exits()},
                   {"rows_programmed", programmed},
                   {"rows_damaged", damaged},
                   {"mode_at_end", in_bootloader(touch_.mode()) ? "bootloader" : "application"},
                   {"image", image_facts},
                   {"faults", faults}};
        return s;
    }

private:
    // Each fault option given, with how often it took effect, in the order of the options' table.
    std::vector<FaultUse> fault_uses() const {
        const TouchController::FaultCounts c = touch_.fault_counts();
        auto at = [](const std::map<uint8_t, int>& m, uint8_t cmd) {
            auto it = m.find(cmd);
            return it == m.end() ? 0 : it->second;
        };
        std::vector<FaultUse> out;
        for (uint16_t row : o_.bad_rows) {
            auto it = c.wrong_row_checksums.find(row);
            out.push_back({"--bad-row-checksum", std::to_string(row), it == c.wrong_row_checksums.end() ? 0 : it->second,
                           "verify row answer with the wrong checksum", "verify row answers with the wrong checksum"});
        }
        for (uint8_t cmd : o_.no_answer)
            out.push_back({"--no-answer", touch_command_name(cmd), at(c.spoiled_answers, cmd), "answer withheld",
                           "answers withheld"});
        for (const auto& f : o_.answer_faults) {
            const std::string name = touch_command_name(f.command);
            const int n = at(c.spoiled_answers, f.command);
            switch (f.kind) {
            case TouchAnswerFault::bad_checksum:
                out.push_back({"--bad-answer-checksum", name, n, "answer spoiled", "answers spoiled"});
                break;
            case TouchAnswerFault::bad_end:
                out.push_back({"--bad-answer-end", name, n, "answer spoiled", "answers spoiled"});
                break;
            case TouchAnswerFault::status:
                out.push_back({"--answer-status", name + "=" + std::to_string(f.value), n, "answer spoiled",
                               "answers spoiled"});
                break;
            case TouchAnswerFault::late:
                out.push_back({"--late-answer", name + "=" + std::to_string(f.value), n, "answer held back",
                               "answers held back"});
                break;
            }
        }
        for (uint8_t cmd : o_.refuse_frames)
            out.push_back({"--refuse-frames", touch_command_name(cmd), at(c.refused_frames, cmd), "frame write refused",
                           "frame writes refused"});
        if (o_.fail_reads > 0)
            out.push_back({"--fail-reads", std::to_string(o_.fail_reads), c.failed_reads, "read failed", "reads failed"});
        if (o_.fail_writes > 0)
            out.push_back(
                {"--fail-writes", std::to_string(o_.fail_writes), c.failed_writes, "write failed", "writes failed"});
        if (o_.handover_ms > 0)
            out.push_back({"--handover-ms", std::to_string(o_.handover_ms), c.handover_transfers,
                           "transfer failed while the controller restarted", "transfers failed while the controller restarted"});
        return out;
    }

    // Compares the flash with --image, row by row; keeps the facts for the JSON report.
    std::string image_check(Json* facts) const {
        if (o_.image.empty()) {
            *facts = nullptr;
            return "image comparison: none (--image FILE compares the flash with it)";
        }
        const auto want = image_rows(image_, o_.first_row, o_.last_row);
        const auto flash = touch_.flash();
        const auto damaged = touch_.damaged_rows();
        std::vector<unsigned> differ;
        for (const auto& r : want) {
            auto it = flash.find(r.first);
            if (it == flash.end() || it->second != r.second ||
                std::find(damaged.begin(), damaged.end(), r.first) != damaged.end())
                differ.push_back(r.first);
        }
        const bool holds = differ.empty() && !want.empty();
        *facts = {{"file", o_.image}, {"rows", want.size()}, {"holds_image", holds}, {"rows_differing", differ}};
        if (want.empty()) return "image comparison: " + o_.image + " holds no whole 129-byte packet";
        if (holds)
            return "image comparison: the flash holds " + o_.image + " byte for byte (" + std::to_string(want.size()) +
                   " rows)";
        return "image comparison: the flash does NOT hold " + o_.image + "; rows that differ: " + ranges(differ);
    }

    TouchOptions o_;
    std::string image_;  // read before the run: COMMAND may change the file
    uint8_t version_ = 0, start_version_ = 0;
    bool bootloader_ = false;
    std::vector<uint16_t> damaged_;
    std::map<uint16_t, TouchController::Row> rows_;
    TouchController touch_;
    ReplaySource* replay_source_ = nullptr;
    std::unique_ptr<board::CharReplay> replay_;
};

}  // namespace

std::unique_ptr<Part> make_touch_part(const Options& options) {
    return std::unique_ptr<Part>(new TouchPart(options.touch));
}

}  // namespace boardsim
