#pragma once

#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace dravelin {

// How every backend client gets the signed-in user's access token: refreshed
// first when it is about to expire; nothing when nobody is signed in.
class TokenSource
{
public:
    virtual ~TokenSource() = default;
    virtual QCoro::Task<std::optional<QString>> currentAccessToken() = 0;
};

} // namespace dravelin
