#pragma once

#include "servers/ServersModel.h"

// The catalogue's links to the request layer and the account: the API host
// manager, the session guards, the token store and the signed-in state. A new
// model starts with these; the core controller adds the links to the service
// and the tunnel on top, and tests put in their own.
class ServerLinks
{
public:
    // The links for one model. The list request goes through a NetworkManager
    // owned by the model, whose answers go to the model's own slots.
    static ServersModel::Hooks requestLayer(ServersModel *model);

private:
    // One configuration GET on the shared access manager, sent again for as
    // long as the host manager asks for it, then answered once.
    static void fetchConfig(QObject *context, const QNetworkRequest &request,
                            const std::function<void(const ServersModel::ConfigReply &)> &done);
};
