// The verb groups of orvane-ctl, one file each (verbs_GROUP.cpp), each with a function
// ctl_GROUP_verbs that adds its verbs. To add a group, add it to this list.
#pragma once

#include "ctl.h"

#define CTL_VERB_GROUPS(X) X(map) X(move) X(board) X(power) X(motion) X(robot) X(profile) X(mirror)

#define CTL_DECLARE_GROUP(g) void ctl_##g##_verbs(CLI::App& app, ctl& c);
CTL_VERB_GROUPS(CTL_DECLARE_GROUP)
#undef CTL_DECLARE_GROUP
