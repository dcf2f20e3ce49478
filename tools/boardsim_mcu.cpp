// The MCU part: the MCU on /dev/ttyS1 with its boot-select and reset lines in sysfs GPIO. Its
// lasting state is the model's (flash, the version its application reports, an application cut
// short by a power loss); without a saved state the flash holds an old application. The report
// is the line's settings, the bootloader's work, the flash map the run left, whether the flash
// holds the image given with --image, and whether the application answers afterwards.
#include <stdio.h>

#include <algorithm>
#include <stdexcept>

#include "boardsim_part.h"
#include "boardsim_run.h"
#include "mcu_model.h"
#include "sysfs_gpio.h"

namespace boardsim {

namespace {

using board::McuModel;

constexpr uint32_t kOldFirmwareSize = 128 * 1024;  // the application in flash on a new board
constexpr uint8_t kOldFirmwareByte = 0x00;
constexpr uint8_t kErased = 0xFF;
constexpr uint32_t kPagesPerLine = 64;
const char* const kDefaultVersion = "1.0.0";

// The part of one page in the saved state: a single repeated byte, or every byte.
Json page_state(uint32_t page, const std::vector<uint8_t>& flash) {
    const uint8_t* p = flash.data() + page * McuModel::kPageSize;
    if (std::all_of(p, p + McuModel::kPageSize, [&](uint8_t b) { return b == p[0]; })) return {{"page", page}, {"fill", p[0]}};
    return {{"page", page}, {"hex", to_hex(p, McuModel::kPageSize)}};
}

class McuPart : public Part {
public:
    explicit McuPart(const McuOptions& o) : o_(o), flash_(McuModel::kFlashSize, kErased), version_(kDefaultVersion) {
        std::fill(flash_.begin(), flash_.begin() + kOldFirmwareSize, kOldFirmwareByte);
    }
    Board kind() const override { return Board::mcu; }

    void load(const Json& state) override {
        version_ = state.at("version").get<std::string>();
        if (version_.empty() || version_.size() > kMaxVersionText) throw std::runtime_error("version");
        application_damaged_ = state.at("application_damaged").get<bool>();
        flash_.assign(McuModel::kFlashSize, kErased);
        from_state_ = true;
        for (const auto& p : state.at("flash")) {
            const uint32_t page = p.at("page").get<uint32_t>();
            if (page >= McuModel::kPages) throw std::runtime_error("page");
            uint8_t* at = flash_.data() + page * McuModel::kPageSize;
            if (p.contains("fill")) {
                std::fill(at, at + McuModel::kPageSize, p.at("fill").get<uint8_t>());
            } else {
                const std::vector<uint8_t> bytes = from_hex(p.at("hex").get<std::string>());
                if (bytes.size() != McuModel::kPageSize) throw std::runtime_error("page size");
                std::copy(bytes.begin(), bytes.end(), at);
            }
        }
    }

    Json save() const override {
        const McuModel::LastingState state = mcu_->lasting_state();
        Json pages = Json::array();
        for (uint32_t page = 0; page < McuModel::kPages; ++page)
            if (!erased(state.flash, page)) pages.push_back(page_state(page, state.flash));
        return {{"version", state.version}, {"application_damaged", state.application_damaged}, {"flash", pages}};
    }

    void set_up(testbed::Bed& bed) override {
        if (!o_.app_version.empty()) version_ = o_.app_version;
        if (!o_.image.empty() && !read_file(o_.image, &image_)) image_.clear();
        bed_ = &bed;
        const int master = bed.add_tty("ttyS1");
        mcu_.reset(new McuModel(master));
        mcu_->restore({flash_, version_, application_damaged_});
        // After the MCU, so that its thread (which calls into the MCU) ends first.
        gpio_.reset(new board::SysfsGpio(bed.sys_dir()));
        mcu_->attach(*gpio_);
        if (!o_.new_version.empty()) mcu_->set_version_after_update(o_.new_version);
        mcu_->set_app_needs_flash(true);
        mcu_->set_app_silent(o_.app_silent);
        if (o_.app_silent_starts > 0) mcu_->set_app_silent_starts(o_.app_silent_starts);
        if (!o_.split_answer.empty())
            mcu_->set_reply_pieces(o_.split_answer, std::chrono::milliseconds(o_.split_gap_ms));
        if (!o_.answer_surplus.empty()) mcu_->set_reply_surplus(o_.answer_surplus);
        mcu_->set_bootloader_silent_entries(o_.silent_bootloader);
        if (o_.nack_erase > 0) mcu_->nack_next(McuModel::Stage::erase_pages, o_.nack_erase);
        for (const auto& n : o_.nacks) mcu_->nack_next(n.first, n.second);
        for (const auto& d : o_.drops) mcu_->drop_next(d.first, d.second);
        mcu_->set_paced(o_.paced);
        if (o_.power_cut_bytes >= 0) mcu_->power_cut_after_bytes(static_cast<size_t>(o_.power_cut_bytes));
        if (o_.power_cut_pages >= 0) mcu_->power_cut_after_pages(static_cast<size_t>(o_.power_cut_pages));
        if (o_.drop_answer_byte > 0) mcu_->drop_answer_byte(static_cast<size_t>(o_.drop_answer_byte));
    }

    std::string activity() const override {
        switch (mcu_->mode()) {
        case McuModel::Mode::bootloader:
            return "the MCU's bootloader";
        case McuModel::Mode::in_reset:
            return "the MCU's reset line";
        case McuModel::Mode::unpowered:
            return "the MCU's supply cut";
        default:
            return "";  // the application answers when asked
        }
    }

    // The last writes to the lines reach the MCU before anything looks at it.
    void after_run() override { gpio_->drain(); }

    void tear_down() override {
        gpio_.reset();
        mcu_.reset();
    }

    bool first_use(Clock::time_point* when) const override {
        const auto writes = gpio_->writes();
        if (writes.empty()) return false;
        *when = writes.front().when;
        return true;
    }

    Section report(const RunRecord&) const override {
        Section s;
        s.title = "boardsim mcu: what the MCU saw";
        s.notation = "flash map: one character per 2 KiB page, '#' written in this run, '.' erased, 'o' older content";
        size_t erased_pages = 0, erases = 0, writes = 0, written = 0;
        for (const auto& c : mcu_->commands()) {
            if (c.data.empty()) {
                ++erases;
                erased_pages += c.pages.empty() ? McuModel::kPages : c.pages.size();
            } else {
                ++writes;
                written += c.data.size();
            }
        }
        const int entries = mcu_->bootloader_entries();
        const int silent = std::min(entries, o_.silent_bootloader);
        char buf[256];
        if (from_state_) {
            size_t used = 0;
            for (uint32_t page = 0; page < McuModel::kPages; ++page) used += !erased(flash_, page);
            snprintf(buf, sizeof buf, "application %s before the run, %zu pages of flash in use (from the saved state)",
                     version_.c_str(), used);
        } else {
            snprintf(buf, sizeof buf, "application %s before the run, %u KiB of old firmware in flash", version_.c_str(),
                     kOldFirmwareSize / 1024);
        }
        s.lines.push_back(buf);
        if (application_damaged_) s.lines.push_back("at the start no application could run: an earlier update was cut short");
        const auto line = bed_->line_settings("ttyS1");
        const std::string line_text = line.empty() ? "never set up by the program" : testbed::describe_line(line.back());
        s.lines.push_back("line: " + line_text);
        snprintf(buf, sizeof buf, "version queries: %d; bootloader entries: %d (silent in %d)", mcu_->version_queries(),
                 entries, silent);
        s.lines.push_back(buf);
        snprintf(buf, sizeof buf, "bootloader commands done: %zu erase (%zu pages), %zu write memory (%zu bytes)", erases,
                 erased_pages, writes, written);
        s.lines.push_back(buf);
        s.lines.push_back("flash map:");
        const std::vector<std::string> map = flash_map();
        for (const auto& row : map) s.lines.push_back("  " + row);
        Json image_facts;
        s.lines.push_back(image_check(&image_facts));
        std::string version;
        const bool answers = mcu_->answers_version(&version);
        s.lines.push_back("afterwards " + afterwards(answers, version));
        if (!answers)
            s.outcome = mcu_->lasting_state().application_damaged ? "update cut short, no application can run"
                        : writes ? "flash written, no application answers"
                                 : "no application answers";
        else if (writes)
            s.outcome = "updated, the application answers " + version;
        else
            s.outcome = "not updated, the application answers " + version;
        s.facts = {{"version_at_start", version_},
                   {"application_damaged_at_start", application_damaged_},
                   {"line", line_text},
                   {"line_settings_made", line.size()},
                   {"version_queries", mcu_->version_queries()},
                   {"bootloader_entries", entries},
                   {"silent_bootloader_entries", silent},
                   {"erase_commands", erases},
                   {"erased_pages", erased_pages},
                   {"write_memory_commands", writes},
                   {"written_bytes", written},
                   {"flash_map", map},
                   {"image", image_facts},
                   {"application_answers", answers},
                   {"version_answered_at_end", answers ? Json(version) : Json(nullptr)},
                   {"application_version", mcu_->application_version()},
                   {"application_damaged_at_end", mcu_->lasting_state().application_damaged},
                   {"mode_at_end", mode_name(mcu_->mode())}};
        return s;
    }

private:
    static constexpr size_t kMaxVersionText = 64;

    static bool erased(const std::vector<uint8_t>& flash, uint32_t page) {
        const uint8_t* p = flash.data() + page * McuModel::kPageSize;
        return std::all_of(p, p + McuModel::kPageSize, [](uint8_t b) { return b == kErased; });
    }

    static const char* mode_name(McuModel::Mode mode) {
        switch (mode) {
        case McuModel::Mode::bootloader:
            return "bootloader";
        case McuModel::Mode::in_reset:
            return "in_reset";
        case McuModel::Mode::unpowered:
            return "unpowered";
        default:
            return "application";
        }
    }

    // One character per page: '#' written in this run, '.' erased, 'o' older content.
    std::vector<std::string> flash_map() const {
        std::vector<bool> written(McuModel::kPages, false);
        for (const auto& c : mcu_->commands()) {
            for (uint16_t p : c.pages) written[p] = false;
            if (!c.data.empty()) {
                uint32_t first = (c.address - McuModel::kFlashBase) / McuModel::kPageSize;
                uint32_t last =
                    (c.address - McuModel::kFlashBase + static_cast<uint32_t>(c.data.size()) - 1) / McuModel::kPageSize;
                for (uint32_t p = first; p <= last && p < McuModel::kPages; ++p) written[p] = true;
            }
        }
        const std::vector<uint8_t> flash = mcu_->flash();
        std::vector<std::string> out;
        char buf[32];
        for (uint32_t page = 0; page < McuModel::kPages; ++page) {
            if (page % kPagesPerLine == 0) {
                snprintf(buf, sizeof buf, "0x%08x ", McuModel::kFlashBase + page * McuModel::kPageSize);
                out.push_back(buf);
            }
            out.back() += erased(flash, page) ? '.' : written[page] ? '#' : 'o';
        }
        return out;
    }

    std::string image_check(Json* facts) const {
        if (o_.image.empty()) {
            *facts = nullptr;
            return "image comparison: none (--image FILE compares the flash with it)";
        }
        const std::vector<uint8_t> flash = mcu_->flash();
        const bool holds = !image_.empty() && mcu_->flash_holds(std::vector<uint8_t>(image_.begin(), image_.end()));
        size_t differ = image_.size() > flash.size() ? flash.size() : image_.size();
        for (size_t i = 0; i < image_.size() && i < flash.size(); ++i) {
            if (flash[i] != static_cast<uint8_t>(image_[i])) {
                differ = i;
                break;
            }
        }
        *facts = {{"file", o_.image}, {"bytes", image_.size()}, {"holds_image", holds},
                  {"first_difference", holds ? Json(nullptr) : Json(McuModel::kFlashBase + differ)}};
        char buf[128];
        if (holds) {
            snprintf(buf, sizeof buf, " byte for byte (%zu bytes from 0x%08x)", image_.size(), McuModel::kFlashBase);
            return "image comparison: the flash holds " + o_.image + buf;
        }
        if (differ == image_.size())  // the image's bytes are there, the rest of its last page is not erased
            snprintf(buf, sizeof buf, "; the rest of its last page, after 0x%08zx, is not erased", McuModel::kFlashBase + differ);
        else
            snprintf(buf, sizeof buf, "; the first difference is at 0x%08zx", McuModel::kFlashBase + differ);
        return "image comparison: the flash does NOT hold " + o_.image + buf;
    }

    std::string afterwards(bool answers, const std::string& version) const {
        if (answers) return "the application answers the version query: " + version;
        switch (mcu_->mode()) {
        case McuModel::Mode::bootloader:
            return "no application answers: the MCU stays in its ROM bootloader until the next reset";
        case McuModel::Mode::in_reset:
            return "no application answers: the MCU is held in reset";
        case McuModel::Mode::unpowered:
            return "no application answers: the MCU lost its supply (--power-cut-after-bytes/-pages) and waits for a reset";
        default:
            return o_.app_silent ? "no application answers: it runs, but never answers (--app-silent)"
                                 : "no application answers: the flash holds none (erased at its base)";
        }
    }

    McuOptions o_;
    std::vector<uint8_t> flash_;
    std::string version_;
    bool from_state_ = false;
    bool application_damaged_ = false;
    testbed::Bed* bed_ = nullptr;
    std::string image_;
    std::unique_ptr<board::SysfsGpio> gpio_;
    std::unique_ptr<McuModel> mcu_;
};

}  // namespace

std::unique_ptr<Part> make_mcu_part(const Options& options) { return std::unique_ptr<Part>(new McuPart(options.mcu)); }

}  // namespace boardsim
