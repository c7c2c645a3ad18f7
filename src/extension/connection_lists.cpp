// The connection lists: adding and removing inlets, outlets and controllers,
// and the table rows that go with them.
#include <algorithm>

#include "extension/zefa.h"

namespace zefa {

namespace {

// Copy of `values` without the entry at `row`; an invalid row drops the last
// entry instead. `values` has at least two entries.
template <class T>
std::vector<T> WithoutRow(const std::vector<T>& values, std::int16_t row) {
    const auto count = static_cast<std::ptrdiff_t>(values.size());
    std::vector<T> kept;
    kept.reserve(values.size() - 1);
    const std::ptrdiff_t skip = (row >= 0 && row < count) ? row : count - 1;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        if (i != skip) kept.push_back(values[static_cast<std::size_t>(i)]);
    }
    return kept;
}

}  // namespace

void ZEFA::AddANewText(host::TextArrayVariable* variable, const std::string& text) {
    Trap("AddANewText", [&] {
        auto values = Deref(variable).GetValues();
        values.push_back(text);
        variable->SetCount(values.size());
        variable->SetValues(values);
    });
}

void ZEFA::AddANewValue(host::NumberArrayVariable* variable, double value) {
    Trap("AddANewValue", [&] {
        auto values = Deref(variable).GetValues().data;
        values.push_back(value);
        variable->SetBounds(values.size());
        variable->SetValues(host::NumberArray::OneD(std::move(values)));
    });
}

void ZEFA::RemoveATag(host::TextArrayVariable* variable, std::int16_t row) {
    Trap("RemoveATag", [&] {
        const auto values = Deref(variable).GetValues();
        if (values.empty()) return;
        if (values.size() == 1) {
            variable->SetCount(0);
            return;
        }
        const auto kept = WithoutRow(values, row);
        variable->SetCount(kept.size());
        variable->SetValues(kept);
    });
}

void ZEFA::RemoveAValue(host::NumberArrayVariable* variable, std::int16_t row) {
    Trap("RemoveAValue", [&] {
        const auto values = Deref(variable).GetValues().data;
        if (values.empty()) return;
        if (values.size() == 1) {
            variable->SetBounds(0);
            return;
        }
        auto kept = WithoutRow(values, row);
        variable->SetBounds(kept.size());
        variable->SetValues(host::NumberArray::OneD(std::move(kept)));
    });
}

void ZEFA::AddANewInlet() {
    Trap("AddANewInlet", [&] {
        AddANewText(vars.SourceTags.get(), "New Inlet");
        AddANewValue(vars.InletBoundaryCB.get(), 0.0);
    });
}

void ZEFA::AddANewOutlet() {
    Trap("AddANewOutlet", [&] {
        AddANewText(vars.BoundaryTags.get(), "New Outlet");
        AddANewValue(vars.bFlowSwitch.get(), 0.0);
        AddANewValue(vars.OutletSourceCB.get(), 0.0);
    });
}

namespace {

// Moves every stream after `row` one place forward; the list then loses its
// last entry when its length is set to the new count.
void CloseGapInStreams(host::StreamListVariable& list, std::int16_t row, std::int16_t& count) {
    auto streams = list.GetStreams();
    if (row >= 0 && static_cast<std::size_t>(row) < streams.size()) {
        for (std::size_t i = static_cast<std::size_t>(row); i + 1 < streams.size(); ++i) {
            streams[i] = streams[i + 1];
        }
    }
    list.SetStreams(streams);
    count = static_cast<std::int16_t>(count - 1);
    list.SetLength(count < 0 ? 0 : static_cast<std::size_t>(count));
}

}  // namespace

void ZEFA::RemoveAnInlet(std::int16_t row) {
    Trap("RemoveAnInlet", [&] {
        RemoveATag(vars.SourceTags.get(), row);
        RemoveAValue(vars.InletBoundaryCB.get(), row);
        CloseGapInStreams(Use(vars.Inlets), row, lists_.intNumInlets);
    });
}

void ZEFA::RemoveAnOutlet(std::int16_t row) {
    Trap("RemoveAnOutlet", [&] {
        RemoveATag(vars.BoundaryTags.get(), row);
        RemoveAValue(vars.bFlowSwitch.get(), row);
        RemoveAValue(vars.OutletSourceCB.get(), row);
        CloseGapInStreams(Use(vars.Outlets), row, lists_.intNumOutlets);
    });
}

void ZEFA::AddController() {
    Trap("AddController", [&] {
        AddANewText(vars.KAVRISControllers.get(), "*Name*");
        AddANewText(vars.ZEFAControllers.get(), "*Tag*");
        Use(vars.zefacontrollerops).SetBounds(CountOf(Use(vars.KAVRISControllers)));
    });
}

void ZEFA::RemoveController(std::int16_t row) {
    Trap("RemoveController", [&] {
        RemoveATag(vars.KAVRISControllers.get(), row);
        RemoveATag(vars.ZEFAControllers.get(), row);
        Use(vars.zefacontrollerops).SetBounds(CountOf(Use(vars.KAVRISControllers)));
    });
}

}  // namespace zefa
