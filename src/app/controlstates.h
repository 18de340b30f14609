#pragma once
// Which controls each control-state set enables.

#include <array>

#include "upload/uploadform.h"

// The controls a set switches, in the order every set is applied.
enum class Control { Browse, Load, Ports, Cancel, Ok };
inline constexpr int kControlCount = 5;

// Whether each control is enabled in the set, indexed by Control.
std::array<bool, kControlCount> enabledControls(ControlSet set);
