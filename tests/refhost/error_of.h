#pragma once

// The message of the case file error an action raises, "(loaded)" when it
// raises none.

#include <string>

#include "lib/case_file.h"

namespace zefa::test {

template <class Action>
std::string ErrorOf(Action&& action) {
    try {
        action();
    } catch (const refhost::CaseFileError& e) {
        return e.what();
    }
    return "(loaded)";
}

}  // namespace zefa::test
