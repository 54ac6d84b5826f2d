#include "harvest/image_record.h"

#include "port/controls.h"

namespace lumigrab {

ImageRecord ReadImageRecord(WindowPort& window, int row) {
    ImageRecord record;
    // One window step, so a list emptied meanwhile cannot leave a half-read row.
    window.runOnWindowThread([&] {
        record.saveName = window.cell(ctl::kResultList, row, ctl::kColSaveName);
        record.address = window.cell(ctl::kResultList, row, ctl::kColAddress);
        record.width = window.cell(ctl::kResultList, row, ctl::kColWidth);
        record.height = window.cell(ctl::kResultList, row, ctl::kColHeight);
        record.state = window.cell(ctl::kResultList, row, ctl::kColState);
        record.thumbnail = window.cell(ctl::kResultList, row, ctl::kColThumbnail);
    });
    return record;
}

}  // namespace lumigrab
