// Verbs on the board's inputs and outputs: switches and leds.
#include <cstdio>

#include "verbs.h"

namespace {

const int switch_gpio[5] = {22, 23, 24, 25, 4};

void switches(ctl& c)
{
  auto s = c.client().switches();
  if (c.json) {
    nlohmann::json a = nlohmann::json::array();
    for (size_t i = 0; i < s.size(); i++)
      a.push_back({{"switch", i}, {"gpio", switch_gpio[i]}, {"closed", s[i]}});
    return ctl_json(a);
  }
  for (size_t i = 0; i < s.size(); i++) {
    if (c.tty)
      printf("switch %zu (GPIO %d): %s\n", i, switch_gpio[i], s[i] ? "closed" : "open");
    else
      printf("%d\n", s[i] ? 1 : 0);
  }
}

// Shows both boards, or sets LEDs given as N=V (0..15) or a.N=V / b.N=V (0..7).
void leds(ctl& c, const std::vector<std::string>& sets)
{
  std::vector<std::pair<int, uint8_t>> values;
  for (auto& s : sets) {
    size_t eq = s.find('=');
    if (eq == std::string::npos)
      throw usage_error("'" + s + "' is not LED=VALUE");
    std::string led = s.substr(0, eq);
    int base = 0;
    if (led.size() > 2 && (led[0] == 'a' || led[0] == 'b') && led[1] == '.') {
      base = led[0] == 'a' ? 0 : 8;
      led = led.substr(2);
      if (ctl_int(led, "LED") > 7)
        throw orvane::out_of_range("LED " + s.substr(0, eq) + " out of range 0..7");
    }
    int64_t n = base + ctl_int(led, "LED");
    int64_t v = ctl_int(s.substr(eq + 1), "LED value");
    if (n < 0 || n > 15)
      throw orvane::out_of_range("LED " + s.substr(0, eq) + " out of range 0..15");
    if (v < 0 || v > 255)
      throw orvane::out_of_range("LED value " + s.substr(eq + 1) + " out of range 0..255");
    values.push_back({static_cast<int>(n), static_cast<uint8_t>(v)});
  }
  if (!values.empty()) {
    c.client().set_leds(values);
    return;
  }
  auto l = c.client().leds();
  for (size_t board = 0; board < 2; board++) {
    printf(c.tty ? "board %c:" : "%c", board ? 'b' : 'a');
    for (size_t i = 0; i < 8; i++)
      printf(c.tty ? " %3d" : " %d", l[board * 8 + i]);
    printf("\n");
  }
}

}  // namespace

void ctl_board_verbs(CLI::App& app, ctl& c)
{
  ctl_verb(app, c, "switches", "Show the five switches (1 = closed)", "switches",
           [&c] { switches(c); });
  static std::vector<std::string> sets;
  auto* l = ctl_verb(app, c, "leds", "Show both LED boards, or set LEDs",
                     "leds [N=VALUE | a.N=VALUE | b.N=VALUE]...", [&c] { leds(c, sets); });
  l->add_option("sets", sets, "LED and value, e.g. 3=255 or b.0=16");
}
