#include "app/controlstates.h"

namespace {

struct SetRow {
    ControlSet set;
    std::array<bool, kControlCount> enabled; // Browse, Load, Ports, Cancel, Ok
};

constexpr std::array<SetRow, 5> kSets{{
    {ControlSet::Start, {true, false, true, false, true}},
    {ControlSet::Ready, {true, true, true, false, true}},
    {ControlSet::NoFile, {true, false, true, false, true}},
    {ControlSet::Uploading, {false, false, false, true, false}},
    {ControlSet::AfterUpload, {true, true, true, false, true}},
}};

} // namespace

std::array<bool, kControlCount> enabledControls(ControlSet set)
{
    for (const SetRow &row : kSets) {
        if (row.set == set)
            return row.enabled;
    }
    return kSets.front().enabled;
}
