// The client's longer time-out while a long request runs, restored after it.
#include "server/server_connection.h"

#include "client/zefa_client.h"

namespace zefa {

TimeOutSwap::TimeOutSwap(ZEFA_Client& client, double longTimeOut, double normalTimeOut)
    : client_(client), normal_(normalTimeOut) {
    client_.TCPTimeOut = longTimeOut;
}

TimeOutSwap::~TimeOutSwap() {
    client_.TCPTimeOut = normal_;
}

}  // namespace zefa
