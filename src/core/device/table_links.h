#pragma once
// How the bus reaches the engine's device tables without knowing them.
#include <cstdint>
#include <string>

#include "core/device/rom_code.h"

namespace kalvo {

// The thermometer table, row i being the i-th code of the bus's thermometer list.
class ThermometerRows {
  public:
    virtual ~ThermometerRows() = default;
    virtual bool ThermometerRowExists(int row) const = 0;
    // Empty for a missing row.
    virtual std::u16string ThermometerName(int row) const = 0;
    // Chart colour as COLORREF (0x00BBGGRR); 0 for a missing row.
    virtual uint32_t ThermometerColour(int row) const = 0;
};

// The switch table: shows a DS2413's channel states from its PIO status byte.
class SwitchRows {
  public:
    virtual ~SwitchRows() = default;
    virtual void RefreshSwitchRow(RomCode code, uint8_t status) = 0;
};

}  // namespace kalvo
