#pragma once
// One harvested picture. The result list's rows are the only store of these;
// a record is addressed by its 0-based row index.
#include "port/window_port.h"

namespace lumigrab {

// Cells in list-column order (see the column constants in port/controls.h).
struct ImageRecord {
    Text saveName;   // file name without folder and extension
    Text address;    // full-size picture
    Text width;      // pixels, decimal text; empty when the page gave none
    Text height;
    Text state;      // written by the download ("OK" or its failure word)
    Text thumbnail;  // thumbnail address
};

// Reads every cell of one row; a row that does not exist reads as empty cells.
ImageRecord ReadImageRecord(WindowPort& window, int row);

}  // namespace lumigrab
