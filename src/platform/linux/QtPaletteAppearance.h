#pragma once

#include "platform/Appearance.h"

namespace dravelin::nix {

// Light or dark through the application palette (Fusion colours), so windows
// follow the chosen mode whatever the desktop theme is.
class QtPaletteAppearance final : public Appearance
{
public:
    void apply(bool dark) override;
};

} // namespace dravelin::nix
