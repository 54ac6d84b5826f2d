#include "window/gbk_mirror.h"

#include "text/encoding.h"

namespace lumigrab::ui {

QString ToQt(std::string_view gbk) {
    const std::string utf8 = GbkToUtf8(gbk);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

Text FromQt(const QString& shown) {
    const QByteArray utf8 = shown.toUtf8();
    return Utf8ToGbk(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

QString GbkMirror::write(const Text& bytes) {
    bytes_ = bytes;
    shown_ = ToQt(bytes);
    return shown_;
}

Text GbkMirror::read(const QString& shownNow) const {
    if (shownNow == shown_) return bytes_;
    return FromQt(shownNow);
}

std::u32string GbkMirror::charactersWithoutGbk(const QString& shownNow) const {
    if (shownNow == shown_) return {};
    const QByteArray utf8 = shownNow.toUtf8();
    return CharactersWithoutGbk(
        std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

}  // namespace lumigrab::ui
