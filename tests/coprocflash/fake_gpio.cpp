// Fake GPIO layer: mcu_gpio_config without a shell.
#include "fake_gpio.h"

#include "mcu_gpio.h"

namespace fake_gpio {
std::vector<std::pair<int, int>> calls;
std::function<void(int, int)> on_call;
}  // namespace fake_gpio

int mcu_gpio_config(int pin, int state) {
    fake_gpio::calls.emplace_back(pin, state);
    if (fake_gpio::on_call) fake_gpio::on_call(pin, state);
    return 0;
}

int mcu_gpio_config_from_signal(int pin, int state) { return mcu_gpio_config(pin, state); }
