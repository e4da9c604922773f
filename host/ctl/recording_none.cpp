// orvane-ctl built without orvane-web's library (-DORVANE_WEB=OFF): CSV recordings only.
#include "recording.h"

#include "host/motion/yaml_util.h"

bool ctl_is_mcap(const std::string& file)
{
  return file.size() > 5 && file.ends_with(".mcap");
}

orvane::motion::record_result ctl_record_mcap(ctl&, const std::string&, double, const std::string&,
                                              const std::atomic<bool>&)
{
  throw orvane::error("this build of orvane-ctl writes no MCAP files (built without orvane-web); record to .csv");
}

std::string ctl_recording_csv(const std::string& file)
{
  if (ctl_is_mcap(file))
    throw orvane::motion::mo_errors({file + ": this build of orvane-ctl reads no MCAP files"});
  return orvane::motion::mo_read_file(file);
}

struct ctl_mirror_mcap::impl {};

ctl_mirror_mcap::ctl_mirror_mcap(const std::string&, const std::vector<orvane::mirror::pair>&, const std::string&,
                                 const std::string&, const std::string&, std::function<int32_t()>)
{
  throw orvane::error("this build of orvane-ctl writes no MCAP files (built without orvane-web); record to .csv");
}
ctl_mirror_mcap::~ctl_mirror_mcap() = default;
void ctl_mirror_mcap::row(const orvane::mirror::sample&) {}
void ctl_mirror_mcap::finish() {}
size_t ctl_mirror_mcap::rows() const { return 0; }
uint64_t ctl_mirror_mcap::missed() const { return 0; }
uint64_t ctl_mirror_mcap::dropped() const { return 0; }
