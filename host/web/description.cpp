#include "host/web/description.h"

#include <stdexcept>

#include "host/urdf/starter.h"

namespace mo = orvane::motion;
namespace ur = orvane::urdf;

std::shared_ptr<const ur::ur_model> web_description(const std::string& path, std::vector<std::string>* notes)
{
  try {
    mo::profile p = mo::profile_load(path);
    auto m = std::make_shared<const ur::ur_model>(ur::ur_profile_model(p));
    *notes = ur::ur_check(*m, p);
    return m;
  } catch (const mo::mo_errors& e) {
    throw std::runtime_error("--profile " + path + ": " + (e.list.empty() ? e.what() : e.list.front()));
  } catch (const ur::ur_error& e) {
    throw std::runtime_error("--profile " + path + ": its description " + e.what());
  }
}
