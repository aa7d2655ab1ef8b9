#pragma once

namespace dravelin {

// The authentication session as the pipeline sees it.
class Authenticating
{
public:
    virtual ~Authenticating() = default;
    // True while a session is held: an access token or a refresh token.
    virtual bool isSignedIn() const = 0;
};

} // namespace dravelin
