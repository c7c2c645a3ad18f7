#pragma once

// The one seam through which tests observe and arrange an extension object's
// private state. The extension itself never uses it; tools use the C
// interface of extension/tool_interface.h instead.

#include "extension/zefa.h"

namespace zefa {

class ZefaInspector {
  public:
    explicit ZefaInspector(ZEFA& z) : z_(z) {}

    BoundVariables& vars() { return z_.vars; }
    std::shared_ptr<host::Container>& container() { return z_.objContainer; }
    std::shared_ptr<host::DynamicContainer>& dynContainer() { return z_.objDynContainer; }
    ZEFA_Client& client() { return *z_.mobjZefaClient; }
    std::string& lastMessage() { return z_.strLastMessage; }

    ConnectionCounts& lists() { return z_.lists_; }
    PendingRequests& pending() { return z_.pending_; }
    EditInProgress& edit() { return z_.edit_; }
    ServerConnection& server() { return z_.server_; }
    CouplingStep& step() { return z_.step_; }
    TrendsAndProfiles& trends() { return z_.trends_; }

  private:
    ZEFA& z_;
};

}  // namespace zefa
