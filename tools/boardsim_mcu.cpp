// The MCU part: the MCU on /dev/ttyS1 with its boot-select and reset lines in sysfs GPIO. Its
// lasting state is the model's (flash, the version its application reports, an application cut
// short by a power loss); without a saved state the flash holds an old application. The report
// is the line's settings (each one made, and the one of the transfers), the bootloader's work,
// the faults' effects, the flash map the run left, whether the flash holds the image given with
// --image, and whether the application answers afterwards.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "boardsim_part.h"
#include "boardsim_replay.h"
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
const char* const kTty = "ttyS1";
const char* const kTtyPath = "/dev/ttyS1";  // as the programs name it
const int kGpios[] = {13, 117, 119};  // auxiliary, reset, boot-select

// When COMMAND first opened the MCU's serial line or one of its lines' sysfs files (for reading
// too, which the GPIO model's write records do not show): inotify on the tty and the sysfs
// folders, on a thread of its own. The models' own opens come before it starts, or are of
// other names (the state files' ".new").
class OpenWatch {
public:
    OpenWatch(const std::string& tty, const std::string& gpio_dir)
        : fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)), stop_(eventfd(0, EFD_CLOEXEC)) {
        inotify_add_watch(fd_, tty.c_str(), IN_OPEN);
        dirs_[inotify_add_watch(fd_, gpio_dir.c_str(), IN_OPEN)] = {"export", "unexport"};
        for (int g : kGpios)
            dirs_[inotify_add_watch(fd_, (gpio_dir + "/gpio" + std::to_string(g)).c_str(), IN_OPEN)] = {
                "direction", "value", ".direction", ".value"};
        thread_ = std::thread([this] { run(); });
    }
    ~OpenWatch() {
        uint64_t one = 1;
        if (write(stop_, &one, sizeof one) < 0) {
        }
        thread_.join();
        close(fd_);
        close(stop_);
    }
    bool first(Clock::time_point* when) const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!seen_) return false;
        *when = first_;
        return true;
    }

private:
    void run() {
        struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
        alignas(struct inotify_event) char buf[4096];
        while (poll(fds, 2, -1) >= 0 || errno == EINTR) {
            if (fds[1].revents & POLLIN) return;
            ssize_t len;
            while ((len = read(fd_, buf, sizeof buf)) > 0) {
                for (ssize_t off = 0; off < len;) {
                    const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + off);
                    off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
                    const auto dir = dirs_.find(ev->wd);
                    const bool counts = dir == dirs_.end() ||
                                        (ev->len > 0 && std::find(dir->second.begin(), dir->second.end(),
                                                                  std::string(ev->name)) != dir->second.end());
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (counts && !seen_) {
                        seen_ = true;
                        first_ = testbed::board_now();
                    }
                }
            }
        }
    }
    int fd_, stop_;
    std::map<int, std::vector<std::string>> dirs_;  // folder watches and the names that count
    mutable std::mutex mutex_;
    bool seen_ = false;
    Clock::time_point first_;
    std::thread thread_;
};

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
        // The rule of --app-version, which the saved version stands in for.
        if (!parse_version(version_))
            throw std::runtime_error("version \"" + version_ + "\" is not three decimal numbers X.Y.Z");
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

    // The serial line is replayed; the GPIO lines stay the board's wiring (their sysfs files),
    // their writes matched with the recorded ones.
    bool replay(ReplaySource& source) override {
        if (!board::trace_has(source.trace, kTtyPath)) return false;
        replay_source_ = &source;
        return true;
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
        const int master = bed.add_tty(kTty);
        if (replay_source_) {
            set_up_replay(master);
            return;
        }
        mcu_.reset(new McuModel(master));
        mcu_->restore({flash_, version_, application_damaged_});
        // After the MCU, so that its thread (which calls into the MCU) ends first.
        gpio_.reset(new board::SysfsGpio(bed.sys_dir()));
        mcu_->attach(*gpio_);
        opens_.reset(new OpenWatch(bed.root_dir() + "/dev/" + kTty, bed.sys_dir() + "/class/gpio"));
        // The bytes the program sends, by the line setting in force as they arrive: the bed's
        // preload has recorded a setting before tcsetattr() returns, so before any byte after it.
        mcu_->set_receive_tap([this](size_t n) {
            const size_t setting = bed_->line_settings(kTty).size();
            std::lock_guard<std::mutex> lock(sent_mutex_);
            sent_by_setting_[setting] += n;
        });
        if (!o_.new_version.empty()) mcu_->set_version_after_update(o_.new_version);
        mcu_->set_app_needs_flash(true);
        mcu_->set_app_silent(o_.app_silent);
        if (o_.app_silent_starts > 0) mcu_->set_app_silent_starts(o_.app_silent_starts);
        if (!o_.split_answer.empty())
            mcu_->set_reply_pieces(o_.split_answer, std::chrono::milliseconds(o_.split_gap_ms));
        if (!o_.answer_surplus.empty()) mcu_->set_reply_surplus(o_.answer_surplus);
        mcu_->set_bootloader_silent_entries(o_.silent_bootloader);
        // Counts given for one stage (--nack-erase, repeated --nack) add up.
        std::map<McuModel::Stage, int> nacks, drops;
        for (const auto& n : nack_options()) nacks[n.first] += n.second;
        for (const auto& d : o_.drops) drops[d.first] += d.second;
        for (const auto& n : nacks) mcu_->nack_next(n.first, n.second);
        for (const auto& d : drops) mcu_->drop_next(d.first, d.second);
        mcu_->set_paced(o_.paced);
        if (o_.power_cut_bytes >= 0) mcu_->power_cut_after_bytes(static_cast<size_t>(o_.power_cut_bytes));
        if (o_.power_cut_pages >= 0) mcu_->power_cut_after_pages(static_cast<size_t>(o_.power_cut_pages));
        if (o_.drop_answer_byte > 0) mcu_->drop_answer_byte(static_cast<size_t>(o_.drop_answer_byte));
    }

    std::string activity() const override {
        if (replay_source_) return "";
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
    void after_run() override {
        gpio_->drain();
        if (replay_) replay_->on_settings(bed_->line_settings(kTty));  // made after the last byte
    }

    void tear_down() override {
        peer_.reset();
        opens_.reset();
        gpio_.reset();
        mcu_.reset();
    }

    // The first open of the serial line or of a line's sysfs file, or the first write the GPIO
    // model recorded (should the open have escaped the watch).
    bool first_use(Clock::time_point* when) const override {
        Clock::time_point opened;
        const bool was_opened = opens_->first(&opened);
        const auto writes = gpio_->writes();
        if (!was_opened && writes.empty()) return false;
        *when = !was_opened ? writes.front().when : writes.empty() ? opened : std::min(opened, writes.front().when);
        return true;
    }

    Section report(const RunRecord&) const override {
        if (replay_source_) return replay_section(kTitle, *replay_source_, {kTtyPath, board::GpioReplay::kDir});
        Section s;
        s.title = kTitle;
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
        const McuModel::CommandCounts counts = mcu_->command_counts();
        const McuModel::FaultCounts faults = mcu_->fault_counts();
        const int silent = faults.silent_bootloader_entries;
        char buf[256];
        if (from_state_) {
            size_t used = 0;
            for (uint32_t page = 0; page < McuModel::kPages; ++page) used += !erased(flash_, page);
            snprintf(buf, sizeof buf, "application %s before the run, %s of flash in use (from the saved state)",
                     version_.c_str(), counted(used, "page", "pages").c_str());
        } else {
            snprintf(buf, sizeof buf, "application %s before the run, %u KiB of old firmware in flash", version_.c_str(),
                     kOldFirmwareSize / 1024);
        }
        s.lines.push_back(buf);
        if (application_damaged_) s.lines.push_back("at the start no application could run: an earlier update was cut short");
        Json line_facts;
        line_report(&s.lines, &line_facts);
        snprintf(buf, sizeof buf, "version queries: %d; bootloader entries: %d (silent in %d)", mcu_->version_queries(),
                 entries, silent);
        s.lines.push_back(buf);
        s.lines.push_back("bootloader commands done: " + counted(erases, "erase", "erase") + " (" +
                          counted(erased_pages, "page", "pages") + "), " +
                          counted(writes, "write memory", "write memory") + " (" + counted(written, "byte", "bytes") +
                          "), " + std::to_string(counts.get) + " get, " + std::to_string(counts.get_version) +
                          " get version, " + std::to_string(counts.get_id) + " get ID, " +
                          std::to_string(counts.read_memory) + " read memory (" +
                          counted(counts.read_bytes, "byte", "bytes") + "), " + std::to_string(counts.go) + " go");
        Json fault_facts = Json::array();
        s.lines.push_back(fault_report(faults, &fault_facts));
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
                   {"line", line_facts["line"]},
                   {"line_settings_made", line_facts["made"]},
                   {"line_settings", line_facts["settings"]},
                   {"line_setting_during_transfers", line_facts["during_transfers"]},
                   {"bytes_sent_before_any_line_setting", line_facts["before_any"]},
                   {"version_queries", mcu_->version_queries()},
                   {"bootloader_entries", entries},
                   {"silent_bootloader_entries", silent},
                   {"erase_commands", erases},
                   {"erased_pages", erased_pages},
                   {"write_memory_commands", writes},
                   {"written_bytes", written},
                   {"get_commands", counts.get},
                   {"get_version_commands", counts.get_version},
                   {"get_id_commands", counts.get_id},
                   {"read_memory_commands", counts.read_memory},
                   {"read_bytes", counts.read_bytes},
                   {"go_commands", counts.go},
                   {"faults", fault_facts},
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
    static constexpr const char* kTitle = "boardsim mcu: what the MCU saw";

    // The far end of the serial line answers from the recording; the line settings made so
    // far are requests too, taken before each byte that follows them.
    void set_up_replay(int master) {
        gpio_.reset(new board::SysfsGpio(bed_->sys_dir()));
        gpio_replay_.reset(new board::GpioReplay(replay_source_->trace, replay_source_->session));
        gpio_->set_listener([this](const board::GpioWrite& w) { gpio_replay_->on_write(w.file, w.value); });
        opens_.reset(new OpenWatch(bed_->root_dir() + "/dev/" + kTty, bed_->sys_dir() + "/class/gpio"));
        replay_.reset(new board::SerialReplay(kTtyPath, board::events_on(replay_source_->trace, kTtyPath),
                                              replay_source_->session,
                                              [this](const std::vector<uint8_t>& bytes) { peer_->send(bytes); }));
        peer_.reset(new board::SerialPeer(master, [this](const uint8_t* data, size_t len) {
            replay_->on_settings(bed_->line_settings(kTty));
            replay_->on_bytes(data, len);
        }));
    }

    // --nack-erase first, then each --nack, in the order given: the order the model spends them.
    std::vector<std::pair<McuModel::Stage, int>> nack_options() const {
        std::vector<std::pair<McuModel::Stage, int>> out;
        if (o_.nack_erase > 0) out.emplace_back(McuModel::Stage::erase_pages, o_.nack_erase);
        out.insert(out.end(), o_.nacks.begin(), o_.nacks.end());
        return out;
    }

    // Every setting the program gave the line, in order, with the bytes it sent under each.
    // The one in force during the transfers is the one under which the most bytes were sent
    // (the first of equals); without any byte sent, the last one made.
    void line_report(std::vector<std::string>* lines, Json* facts) const {
        const auto settings = bed_->line_settings(kTty);
        std::map<size_t, size_t> sent;
        {
            std::lock_guard<std::mutex> lock(sent_mutex_);
            sent = sent_by_setting_;
        }
        size_t during = settings.size(), most = 0;
        for (size_t i = 1; i <= settings.size(); ++i) {
            if (sent[i] > most) {
                most = sent[i];
                during = i;
            }
        }
        Json list = Json::array();
        std::vector<std::string> rows;
        for (size_t i = 1; i <= settings.size(); ++i) {
            const std::string text = testbed::describe_line(settings[i - 1]);
            list.push_back({{"setting", text}, {"bytes_sent", sent[i]}});
            rows.push_back("  " + std::to_string(i) + ". " + text + ": " +
                           (sent[i] ? counted(sent[i], "byte", "bytes") + " sent under it" : "no byte sent under it") +
                           (i == during ? " (in force during the transfers)" : ""));
        }
        const std::string line_text = settings.empty() ? "never set up by the program" : testbed::describe_line(settings[during - 1]);
        lines->push_back("line: " + line_text + (settings.empty() || most ? "" : " (the last setting made; no byte was sent)"));
        lines->push_back("line settings the program made (tcsetattr), in order: " +
                         (settings.empty() ? std::string("none") : std::to_string(settings.size())));
        lines->insert(lines->end(), rows.begin(), rows.end());
        if (sent[0]) lines->push_back("  before any of them: " + counted(sent[0], "byte", "bytes") + " sent");
        *facts = {{"line", line_text},
                  {"made", settings.size()},
                  {"settings", list},
                  {"during_transfers", settings.empty() ? Json(nullptr) : Json(during)},
                  {"before_any", sent[0]}};
    }

    // Each fault option given and how often it took effect.
    std::string fault_report(const McuModel::FaultCounts& f, Json* facts) const {
        std::vector<std::string> parts;
        auto add = [&](const std::string& option, const std::string& value, int took) {
            facts->push_back({{"option", option}, {"value", value}, {"took_effect", took}});
            parts.push_back(option + (value.empty() ? "" : " " + value) + ": " +
                            (took == 0 ? "never" : took == 1 ? "once" : std::to_string(took) + " times"));
        };
        // The model counts per stage; the options of one stage share the count in their order.
        auto add_staged = [&](const char* option, const std::vector<std::pair<McuModel::Stage, int>>& given,
                              const std::map<McuModel::Stage, int>& effect, bool erase_option) {
            std::map<McuModel::Stage, int> left = effect;
            for (size_t i = 0; i < given.size(); ++i) {
                const int took = std::min(left[given[i].first], given[i].second);
                left[given[i].first] -= took;
                const bool shorthand = erase_option && i == 0 && o_.nack_erase > 0;
                add(shorthand ? "--nack-erase" : option,
                    shorthand ? std::to_string(given[i].second)
                              : std::string(mcu_stage_name(given[i].first)) + "=" + std::to_string(given[i].second),
                    took);
            }
        };
        if (o_.silent_bootloader > 0) add("--silent-bootloader", std::to_string(o_.silent_bootloader), f.silent_bootloader_entries);
        add_staged("--nack", nack_options(), f.nacks, true);
        add_staged("--drop-answer", o_.drops, f.drops, false);
        if (o_.app_silent) add("--app-silent", "", f.unanswered_queries);
        if (o_.app_silent_starts > 0) add("--app-silent-starts", std::to_string(o_.app_silent_starts), f.silent_app_starts);
        if (!o_.split_answer.empty()) {
            std::string sizes;
            for (size_t n : o_.split_answer) sizes += (sizes.empty() ? "" : ",") + std::to_string(n);
            add("--split-answer", sizes + (o_.split_gap_ms ? "@" + std::to_string(o_.split_gap_ms) : ""), f.split_replies);
        }
        if (!o_.answer_surplus.empty()) {
            std::string bytes;
            char hex[8];
            for (uint8_t b : o_.answer_surplus) {
                snprintf(hex, sizeof hex, "%s0x%02X", bytes.empty() ? "" : ",", b);
                bytes += hex;
            }
            add("--answer-surplus", bytes, f.surplus_replies);
        }
        if (o_.power_cut_bytes >= 0) add("--power-cut-after-bytes", std::to_string(o_.power_cut_bytes), f.power_cuts_bytes);
        if (o_.power_cut_pages >= 0) add("--power-cut-after-pages", std::to_string(o_.power_cut_pages), f.power_cuts_pages);
        if (o_.drop_answer_byte > 0) add("--drop-answer-byte", std::to_string(o_.drop_answer_byte), f.lost_bytes);
        if (parts.empty()) return "faults injected: none";
        std::string text = "faults injected, and how often each took effect: ";
        for (size_t i = 0; i < parts.size(); ++i) text += (i ? "; " : "") + parts[i];
        return text;
    }

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
    std::unique_ptr<board::GpioReplay> gpio_replay_;  // before the GPIO model, whose thread calls it
    std::unique_ptr<board::SysfsGpio> gpio_;
    std::unique_ptr<McuModel> mcu_;
    std::unique_ptr<OpenWatch> opens_;
    ReplaySource* replay_source_ = nullptr;
    std::unique_ptr<board::SerialReplay> replay_;
    std::unique_ptr<board::SerialPeer> peer_;  // after the replay: its thread ends first
    mutable std::mutex sent_mutex_;
    std::map<size_t, size_t> sent_by_setting_;  // bytes sent, by the number of settings made then
};

}  // namespace

std::unique_ptr<Part> make_mcu_part(const Options& options) { return std::unique_ptr<Part>(new McuPart(options.mcu)); }

}  // namespace boardsim
