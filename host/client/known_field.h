// A field the program names itself: missing from the table, it is a fault of the program (a
// renamed field), never of what a host sent, so it throws logic_error.
#pragma once

#include <stdexcept>
#include <string>

#include "orvane.h"

namespace orvane {

inline const field& known_field(const char* name)
{
  const field* f = find_field(name);
  if (f == nullptr)
    throw std::logic_error(std::string("field table lacks ") + name);
  return *f;
}

}  // namespace orvane
