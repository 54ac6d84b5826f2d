#include "port/keyword.h"

#include "port/controls.h"
#include "text/encoding.h"

namespace lumigrab {

bool RefuseKeywordWithoutGbk(WindowPort& window) {
    const std::u32string unusable = window.charactersWithoutGbk(ctl::kKeyword);
    if (unusable.empty()) return false;
    window.messageBox(ConcatText(Gbk("关键词中有无法使用的字符: "), CodePointNames(unusable)), Gbk("信息："));
    window.setFocus(ctl::kKeyword);
    return true;
}

}  // namespace lumigrab
