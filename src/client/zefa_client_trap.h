#pragma once

// The client's error trap, shared by the files that define ZEFA_Client's
// operations: any failure ends the body and is reported through the owner as
// "METHOD -- <operation> <description>".

#include <exception>
#include <string>
#include <string_view>

#include "client/zefa_client.h"

namespace zefa {

template <class Body>
void ZEFA_Client::Trap(std::string_view operation, Body&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        ReportError("METHOD -- " + std::string(operation) + " " + e.what());
    } catch (...) {
        ReportError("METHOD -- " + std::string(operation) + " unknown failure");
    }
}

}  // namespace zefa
