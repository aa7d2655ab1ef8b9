#pragma once

namespace dravelin {

// Applies the light or dark appearance to the application's windows.
class Appearance
{
public:
    virtual ~Appearance() = default;
    virtual void apply(bool dark) = 0;
};

} // namespace dravelin
