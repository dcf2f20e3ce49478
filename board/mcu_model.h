// The simulated MCU behind the serial line: its application firmware (the version frame
// protocol) and its ROM bootloader (STM32 USART bootloader, AN3155: sync, ACK/NACK, Extended
// Erase, Write Memory) over a 512 KiB flash. The mode follows the reset and boot-select lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial_peer.h"

namespace board {

class SysfsGpio;
struct GpioWrite;

class McuModel {
public:
    static constexpr uint32_t kFlashBase = 0x08000000;
    static constexpr uint32_t kFlashSize = 512 * 1024;
    static constexpr uint32_t kPageSize = 2048;
    static constexpr uint32_t kPages = kFlashSize / kPageSize;
    static constexpr uint8_t kAck = 0x79;
    static constexpr uint8_t kNack = 0x1F;

    enum class Mode { application, in_reset, bootloader };
    // The bootloader stages whose ACK a fault knob can turn into a NACK.
    enum class Stage { sync, command, write_address, write_data, erase_pages, any };

    struct Command {  // one bootloader command the model carried out
        uint8_t code;                 // 0x31 or 0x44
        uint32_t address = 0;         // Write Memory
        std::vector<uint8_t> data;    // Write Memory
        std::vector<uint16_t> pages;  // Extended Erase
    };

    // master: the pty master of the serial line. Starts in application mode.
    explicit McuModel(int master);
    ~McuModel();

    // Mode changes follow the lines: a falling edge of the reset line (gpio117) starts the MCU,
    // into the bootloader while boot-select (gpio119) is high, else into the application.
    void attach(SysfsGpio& gpio);
    void on_gpio(const GpioWrite& w);
    // Direct mode control for tests without the GPIO model.
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
    void nack_next(Stage stage, int count);           // the next count ACKs at stage become NACKs
    void drop_next(Stage stage, int count);           // the next count answers at stage are not sent
    void set_flash(uint32_t offset, const std::vector<uint8_t>& bytes);  // content before the test
    // Answers come as late as a real line and flash let them: every character takes its time
    // on the wire (115200 baud, 11 bits), an erase its page erase times, a write its
    // half-word programming times.
    void set_paced(bool paced);

    // ---- observation ----
    std::vector<uint8_t> flash() const;
    std::vector<Command> commands() const;
    int bootloader_entries() const;
    int app_starts() const;
    std::vector<uint8_t> wire() const { return peer_->received(); }  // all bytes the program sent

private:
    void on_bytes(const uint8_t* data, size_t len);
    void app_byte(uint8_t b, std::vector<std::vector<uint8_t>>* replies);
    void boot_byte(uint8_t b, std::vector<uint8_t>* out);
    uint8_t answer(Stage stage, bool ok);
    bool app_answers_locked() const;
    std::vector<uint8_t> version_reply() const;
    static std::vector<uint8_t> version_body(const std::string& text);
    void start(Mode mode);

    enum class Boot { wait_sync, command, wm_address, wm_count, wm_data, wm_sum, er_count, er_pages, er_sum, er_special_sum };

    mutable std::mutex mutex_;
    Mode mode_ = Mode::application;
    bool boot_high_ = false;
    bool reset_high_ = false;
    std::vector<uint8_t> flash_;
    std::vector<Command> commands_;
    int bootloader_entries_ = 0;
    int app_starts_ = 0;

    // application
    std::vector<uint8_t> body_;
    std::string version_after_update_;
    bool wrote_this_session_ = false;
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
    Stage nack_stage_ = Stage::any;
    int nack_count_ = 0;
    Stage drop_stage_ = Stage::any;
    int drop_count_ = 0;
    bool drop_this_ = false;
    Boot boot_ = Boot::wait_sync;
    std::vector<uint8_t> frame_;
    size_t expect_ = 0;
    uint32_t address_ = 0;
    bool paced_ = false;
    std::chrono::microseconds flash_busy_{0};  // flash work behind the answers being built

    std::unique_ptr<SerialPeer> peer_;
};

}  // namespace board
