// The simulated MCU behind the serial line: its application firmware (the version frame
// protocol) and its ROM bootloader (STM32 USART bootloader, AN3155: Get, Get Version, Get ID,
// Read Memory, Go, Write Memory, Extended Erase or Erase) over a 512 KiB flash in 2 KiB pages.
// The mode follows the levels of the reset and boot-select lines, however a host sets them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial_peer.h"
#include "sysfs_gpio.h"

namespace board {

class McuModel {
public:
    static constexpr uint32_t kFlashBase = 0x08000000;
    static constexpr uint32_t kFlashSize = 512 * 1024;
    static constexpr uint32_t kPageSize = 2048;
    static constexpr uint32_t kPages = kFlashSize / kPageSize;
    static constexpr uint8_t kAck = 0x79;
    static constexpr uint8_t kNack = 0x1F;
    // The part: a 512 KiB, 2 KiB-page device whose bootloader (protocol 3.1) erases with
    // Extended Erase; with set_legacy_bootloader, the high-density F1-class part of the same
    // flash, whose bootloader (2.2) has the one-byte Erase instead.
    static constexpr uint16_t kProductId = 0x446;
    static constexpr uint8_t kBootloaderVersion = 0x31;
    static constexpr uint16_t kLegacyProductId = 0x414;
    static constexpr uint8_t kLegacyBootloaderVersion = 0x22;
    static constexpr int kResetGpio = 117;  // high holds the MCU in reset; it starts on the fall
    static constexpr int kBootGpio = 119;   // boot-select, sampled as the reset line falls

    enum class Mode { application, in_reset, bootloader, unpowered };
    // The bootloader stages whose ACK a fault knob can turn into a NACK.
    enum class Stage { sync, command, write_address, write_data, erase_pages, read_address, read_count, go_address, any };

    struct Command {  // one bootloader command that changed flash
        uint8_t code;                 // 0x31 Write Memory, 0x43 Erase or 0x44 Extended Erase
        uint32_t address = 0;         // Write Memory
        std::vector<uint8_t> data;    // Write Memory
        std::vector<uint16_t> pages;  // the pages erased (every page for a mass erase)
    };

    // Bootloader commands carried out (ACKed through their last stage), by kind.
    struct CommandCounts {
        int get = 0, get_version = 0, get_id = 0;
        int read_memory = 0;
        size_t read_bytes = 0;
        int go = 0;
        int write_memory = 0, erase = 0;
    };

    // How often each injected fault took effect.
    struct FaultCounts {
        int silent_bootloader_entries = 0;  // entries the silent-entry knob kept silent
        std::map<Stage, int> nacks;         // ACKs turned into NACKs by nack_next, per stage
        std::map<Stage, int> drops;         // answers dropped by drop_next, per stage
        int silent_app_starts = 0;          // starts the silent-start knob kept silent
        int unanswered_queries = 0;         // version queries set_app_silent left unanswered
        int split_replies = 0;              // version replies sent in pieces
        int surplus_replies = 0;            // version replies followed by surplus bytes
        int power_cuts_bytes = 0, power_cuts_pages = 0;
        int lost_bytes = 0;                 // the byte drop_answer_byte took off the line
    };

    // What the part keeps across a power-off: its flash, the version its application reports,
    // and whether an update cut short by a power loss left the application unable to run.
    struct LastingState {
        std::vector<uint8_t> flash;  // kFlashSize bytes
        std::string version;
        bool application_damaged = false;
    };

    // master: the pty master of the serial line. Starts in application mode.
    explicit McuModel(int master);
    ~McuModel();

    // Mode changes follow the lines' levels, set through "direction" (high, low, out, in) or
    // "value": a rise of the reset line (gpio117) holds the MCU in reset, its fall starts it,
    // into the bootloader while boot-select (gpio119) is high, else into the application. A line
    // set to input is held low by the board.
    void attach(SysfsGpio& gpio);
    void on_gpio(const GpioWrite& w);
    // Direct mode control for tests without the GPIO model (also restores the power).
    void reset_into(Mode mode);
    Mode mode() const;

    // ---- application knobs ----
    // Reply body: one leading byte (0x4D), the text and a NUL.
    void set_version(const std::string& text);
    // The version the application reports once it starts after a bootloader session that
    // wrote flash (empty: the version stays as it was).
    void set_version_after_update(const std::string& text);
    void set_reply_body(const std::vector<uint8_t>& body);  // the body exactly
    void set_reply_code(uint8_t code);                      // header byte 4 of the reply
    void set_length_field(int length);                      // announced length; -1: the body's
    void set_app_silent(bool silent);                       // never answers
    void set_app_silent_starts(int starts);                 // silent for the next n starts after a reset
    void set_app_silent_until_reset(bool silent);           // the running application, until a reset
    // Deliver the reply in pieces of these sizes (the rest in one last piece), gap between.
    void set_reply_pieces(const std::vector<size_t>& sizes, std::chrono::milliseconds gap);
    void set_reply_surplus(const std::vector<uint8_t>& bytes);  // sent right after the reply
    // The application starts only from a flash that holds its vector table: an erased first
    // word at the flash base leaves nothing to run, and the MCU does not answer.
    void set_app_needs_flash(bool needs);
    int version_queries() const;
    // Whether the MCU, as it is now, answers a version query, and the version text it sends.
    bool answers_version(std::string* text) const;

    // ---- bootloader knobs ----
    void set_bootloader_silent(bool silent);
    void set_bootloader_silent_entries(int entries);  // silent for the next n bootloader entries
    // The next count ACKs at stage become NACKs; each stage keeps its own count (Stage::any
    // takes whichever stage comes, after that stage's own count).
    void nack_next(Stage stage, int count);
    void drop_next(Stage stage, int count);           // the next count answers at stage are not sent
    void set_flash(uint32_t offset, const std::vector<uint8_t>& bytes);  // content before the test
    // The older bootloader of the same flash: Erase (0x43) in place of Extended Erase (0x44),
    // product ID 0x414, version 2.2.
    void set_legacy_bootloader(bool legacy);
    // Answers come as late as a real line and flash let them: every character takes its time
    // on the wire (115200 baud, 11 bits), an erase its page erase times, a write its
    // half-word programming times.
    void set_paced(bool paced);

    // ---- faults of the board ----
    // The MCU loses its supply once the bootloader has programmed this many more bytes of flash
    // (or written into this many more pages: the first byte bound for a further page cuts it).
    // Flash keeps what was programmed before the cut, the frame in progress gets no answer, and
    // an application whose update was cut does not run. The MCU stays unpowered, deaf and
    // silent, until the next reset pulse, which brings the supply back. Each cut happens once.
    void power_cut_after_bytes(size_t bytes);
    void power_cut_after_pages(size_t pages);
    // The n-th byte the MCU sends from now on (1: the next one) is lost on the line.
    void drop_answer_byte(size_t n);

    // ---- observation ----
    std::vector<uint8_t> flash() const;
    // Whether flash holds image exactly as a bootloader write of it leaves it: the image byte for
    // byte from the flash base, the rest of its last page erased. Later pages are not looked at.
    bool flash_holds(const std::vector<uint8_t>& image) const;
    // The version text the application reports (whether or not it answers now).
    std::string application_version() const;
    LastingState lasting_state() const;
    // Loads a saved state; false (and nothing changed) when its flash is not kFlashSize bytes.
    bool restore(const LastingState& state);
    std::vector<Command> commands() const;
    CommandCounts command_counts() const;
    FaultCounts fault_counts() const;
    // Called with the count of every chunk of bytes the program writes, before the MCU takes
    // it in (on the line's thread).
    void set_receive_tap(std::function<void(size_t)> tap);
    int bootloader_entries() const;
    int app_starts() const;
    std::vector<uint8_t> wire() const { return peer_->received(); }  // all bytes the program sent

private:
    void on_bytes(const uint8_t* data, size_t len);
    void app_byte(uint8_t b, std::vector<std::vector<uint8_t>>* replies);
    void drop_lost_byte(std::vector<uint8_t>* bytes);
    bool app_answers_locked() const;
    std::vector<uint8_t> version_reply() const;
    static std::vector<uint8_t> version_body(const std::string& text);
    static std::string version_text(const std::vector<uint8_t>& body);
    void start(Mode mode);
    void cut_power();

    // ROM bootloader (mcu_rom_bootloader.cpp)
    enum class Boot { wait_sync, command, address, read_count, write_block, erase_list, ext_erase_list };
    void boot_byte(uint8_t b, std::vector<uint8_t>* out);
    size_t boot_frame_size() const;
    void boot_command(std::vector<uint8_t>* resp);
    void boot_address(std::vector<uint8_t>* resp);
    void boot_read_count(std::vector<uint8_t>* resp);
    void boot_write_block(std::vector<uint8_t>* resp);
    void boot_erase_list(std::vector<uint8_t>* resp);
    void boot_ext_erase_list(std::vector<uint8_t>* resp);
    uint8_t answer(Stage stage, bool ok);
    void erase(uint8_t code, const std::vector<uint16_t>& pages);
    bool program(uint32_t offset, const std::vector<uint8_t>& data);

    mutable std::mutex mutex_;
    std::condition_variable running_;  // the MCU started
    Mode mode_ = Mode::application;
    GpioLine boot_line_;
    GpioLine reset_line_;
    std::vector<uint8_t> flash_;
    std::vector<Command> commands_;
    int bootloader_entries_ = 0;
    int app_starts_ = 0;

    // application
    std::vector<uint8_t> body_;
    std::string version_after_update_;
    bool wrote_this_session_ = false;
    bool changed_flash_this_session_ = false;
    bool damaged_ = false;
    uint8_t reply_code_ = 0x06;
    int length_field_ = -1;
    bool app_silent_ = false;
    bool silent_this_start_ = false;
    int app_silent_starts_ = 0;
    std::vector<size_t> pieces_;
    std::chrono::milliseconds gap_{0};
    std::vector<uint8_t> surplus_;
    std::vector<uint8_t> app_in_;
    int version_queries_ = 0;
    bool app_needs_flash_ = false;

    // bootloader
    bool boot_silent_ = false;
    bool silent_this_entry_ = false;
    int boot_silent_entries_ = 0;
    std::map<Stage, int> nack_left_;  // per stage (Stage::any: at whichever comes)
    std::map<Stage, int> drop_left_;
    CommandCounts counts_;
    FaultCounts faults_;
    std::function<void(size_t)> receive_tap_;
    bool drop_this_ = false;
    bool legacy_ = false;
    Boot boot_ = Boot::wait_sync;
    std::vector<uint8_t> frame_;
    uint8_t code_ = 0;  // the command whose stages are under way
    uint32_t address_ = 0;
    bool paced_ = false;
    // faults
    long cut_after_bytes_ = -1;  // -1: none armed
    long cut_after_pages_ = -1;
    std::vector<bool> cut_pages_seen_;
    uint64_t sent_ = 0;     // bytes the MCU sent so far
    uint64_t lost_at_ = 0;  // the count at which the byte sent is lost; 0: none
    std::chrono::microseconds flash_busy_{0};  // flash work behind the answers being built

    std::unique_ptr<SerialPeer> peer_;
};

}  // namespace board
