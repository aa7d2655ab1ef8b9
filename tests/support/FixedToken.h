#pragma once

#include "account/TokenSource.h"

namespace dravelin::test {

// Hands out one access token, as a signed-in session would; none after
// `token.reset()`, as when nobody is signed in.
class FixedToken final : public TokenSource
{
public:
    FixedToken() = default;
    explicit FixedToken(QString t) : token(std::move(t)) {}
    QCoro::Task<std::optional<QString>> currentAccessToken() override
    {
        co_return std::optional<QString>(token); // a copy: the member stays
    }
    std::optional<QString> token = QStringLiteral("token");
};

} // namespace dravelin::test
