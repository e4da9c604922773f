// A robot's description read from its URDF (parsed by Debian's liburdfdom), and every link's pose
// for given joint positions: forward kinematics over the joints' origins and axes. A loaded
// model never changes: any thread may call its const methods, several at once.
#pragma once

#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::urdf {

struct vec3 {
  double x = 0, y = 0, z = 0;
};
struct quat {  // a unit quaternion
  double x = 0, y = 0, z = 0, w = 1;
};
// A frame in its parent's frame: rotate by r, then translate by t.
struct pose {
  vec3 t;
  quat r;
};

pose ur_compose(const pose& a, const pose& b);  // b's frame, given in a's, in a's parent
vec3 ur_apply(const pose& p, const vec3& v);     // a point of p's frame in p's parent
quat ur_axis_angle(const vec3& unit_axis, double rad);

// Joints the model moves; anything else the format knows (floating, planar) stays at its origin.
enum class ur_kind { fixed, revolute, continuous, prismatic, other };

struct ur_joint {
  std::string name, parent, child;  // the parent and child links
  ur_kind kind = ur_kind::fixed;
  pose origin;                      // the joint's frame in the parent link's, at position 0
  vec3 axis{1, 0, 0};               // unit, in the joint's frame
  bool limited = false;             // revolute and prismatic joints have lower..upper
  double lower = 0, upper = 0;      // radians or metres
  std::string mimic;                // follows this joint: multiplier * its position + offset
  double multiplier = 1, offset = 0;
};

struct ur_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Bounds on a file before the parser walks it: a description with primitive shapes is a few
// kilobytes, and its elements nest five deep.
constexpr size_t UR_MAX_BYTES = size_t{1} << 20;
constexpr int UR_MAX_DEPTH = 32;
constexpr size_t UR_MAX_LINKS = 1000;

// Joint positions by joint name, in radians (revolute, continuous) or metres (prismatic).
using ur_positions = std::map<std::string, double, std::less<>>;

class ur_model {
 public:
  // Throws ur_error with the file's name and what is wrong ("arm.urdf: ...").
  static ur_model parse(std::string_view xml, const std::string& source);
  static ur_model load(const std::string& path);

  const std::string& name() const { return name_; }  // the robot element's name
  const std::string& text() const { return text_; }  // the file as read, to serve as it is
  const std::string& root() const { return links_.front(); }
  const std::vector<std::string>& links() const { return links_; }  // the root first, then each
                                                                    // link after its parent
  const std::vector<ur_joint>& joints() const { return joints_; }   // joints()[i] moves links()[i+1]
  const ur_joint* joint(std::string_view name) const;

  // Each joint's child link in its parent link's frame, in joints() order: the tree of frames a
  // viewer is given. A joint missing from `q` is at 0; a mimic joint follows its leader.
  std::vector<pose> joint_poses(const ur_positions& q) const;
  // Every link's pose in the root link's frame, in links() order.
  std::vector<pose> link_poses(const ur_positions& q) const;

 private:
  std::string name_, text_;
  std::vector<std::string> links_;
  std::vector<ur_joint> joints_;
  std::vector<size_t> parent_;  // parent_[i]: index in links_ of joints_[i].parent
};

// A joint's position for an angle in the profile's joint degrees: radians for a revolute or
// continuous joint, metres for a prismatic one (its profile value in millimetres).
double ur_position(const ur_joint& j, double joint_deg);

}  // namespace orvane::urdf
