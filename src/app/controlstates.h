#pragma once
// The five named combinations of enabled and disabled controls. Ready equals after-upload and
// start equals no-file; they keep their own names because they are applied at different points.

#include <array>

enum class ControlSet { Start, Ready, NoFile, Uploading, AfterUpload };

// The controls a set switches, in the order every set is applied.
enum class Control { Browse, Load, Ports, Cancel, Ok };
inline constexpr int kControlCount = 5;

// Whether each control is enabled in the set, indexed by Control.
std::array<bool, kControlCount> enabledControls(ControlSet set);
