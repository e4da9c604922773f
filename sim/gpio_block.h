// The virtual GPIO block: a sparse file standing for the memory device, with the GPIO page at the
// same offset as on the robot, so the daemon maps it exactly as it maps the real one. The model
// maps that page too; any thread may use it, since every register access is atomic.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// A function-select word from ten 3-bit fields (lowest pin first) and the two top bits.
constexpr uint32_t gpio_fsel_word(const int (&f)[10], uint32_t top)
{
  uint32_t v = top << 30;
  for (int i = 0; i < 10; i++)
    v |= static_cast<uint32_t>(f[i]) << (3 * i);
  return v;
}

// Function selects preset before the daemon starts: the five switch pins in non-input functions
// and every other pin in some function too, so the daemon's set-up can be checked field by field.
constexpr uint32_t GPIO_FSEL0_PRESET = gpio_fsel_word({3, 2, 4, 6, 1, 7, 5, 2, 3, 5}, 1);  // GPIO 4 = 001
constexpr uint32_t GPIO_FSEL2_PRESET = gpio_fsel_word({3, 7, 3, 4, 5, 6, 2, 1, 7, 4}, 2);  // 22..25

class gpio_block {
 public:
  gpio_block() = default;
  ~gpio_block();  // unmaps; the file stays
  gpio_block(const gpio_block&) = delete;
  gpio_block& operator=(const gpio_block&) = delete;

  // Makes the file (large enough for a page at `base`), maps the page and presets it: switch
  // pins high (open), their neighbours low. False, with the reason on stderr, on failure.
  bool init(const std::string& path, off_t base);
  const std::string& path() const { return path_; }

  void set_switch(int n, bool closed);  // switch n (sw_in word n) pulls its pin low when closed
  bool switch_closed(int n) const;
  void set_level(int pin, bool high);   // any pin of GPIO 0..31
  uint32_t reg(int word) const;         // a register word, as the daemon left it

 private:
  std::string path_;
  uint32_t* page_ = nullptr;
};
