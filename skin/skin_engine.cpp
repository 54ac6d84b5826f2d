#include "skin/skin_engine.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>
#include <QThread>

#include "skin/skin_format.h"
#include "skin/skin_style.h"

namespace {

using lumigrab::skin::Rgb;
using lumigrab::skin::Role;
using lumigrab::skin::Skin;

QColor ToQt(Rgb c) { return QColor(c.r, c.g, c.b); }

// The palette matters beside the style sheet: widgets the sheet does not name
// (scroll bars, menus, message boxes, dialogs the platform opens) draw from it.
QPalette BuildPalette(const Skin& s) {
    QPalette p;
    auto set = [&p](QPalette::ColorRole role, Rgb c) { p.setColor(role, ToQt(c)); };
    set(QPalette::Window, s[Role::Window]);
    set(QPalette::WindowText, s[Role::WindowText]);
    set(QPalette::Base, s[Role::Base]);
    set(QPalette::AlternateBase, s[Role::AlternateBase]);
    set(QPalette::Text, s[Role::Text]);
    set(QPalette::Button, s[Role::Button]);
    set(QPalette::ButtonText, s[Role::ButtonText]);
    set(QPalette::Highlight, s[Role::Highlight]);
    set(QPalette::HighlightedText, s[Role::HighlightedText]);
    set(QPalette::ToolTipBase, s[Role::Base]);
    set(QPalette::ToolTipText, s[Role::Text]);
    set(QPalette::PlaceholderText, s[Role::DisabledText]);
    set(QPalette::Link, s[Role::Highlight]);
    set(QPalette::BrightText, s.dark ? Rgb{255, 255, 255} : Rgb{0, 0, 0});
    set(QPalette::Light, lumigrab::skin::Mix(s[Role::Button], {255, 255, 255}, 0.5));
    set(QPalette::Midlight, lumigrab::skin::Mix(s[Role::Button], {255, 255, 255}, 0.25));
    set(QPalette::Mid, s[Role::Border]);
    set(QPalette::Dark, lumigrab::skin::Mix(s[Role::Border], {0, 0, 0}, 0.3));
    set(QPalette::Shadow, lumigrab::skin::Mix(s[Role::Border], {0, 0, 0}, 0.6));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, ToQt(s[Role::DisabledText]));
    }
    return p;
}

}  // namespace

extern "C" int SkinAttachRes(const unsigned char* bytes, int length, const char* emptyText,
                             int reserved1, int reserved2, int reserved3) {
    (void)emptyText;
    (void)reserved1;
    (void)reserved2;
    (void)reserved3;
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr || QThread::currentThread() != app->thread()) return 0;
    if (bytes == nullptr || length <= 0) return 0;
    auto skin = lumigrab::skin::ParseSkin({bytes, static_cast<std::size_t>(length)});
    if (!skin) return 0;

    // Fusion draws everything from the palette, so a skin looks the same on
    // every desktop instead of being half overridden by the platform theme.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(fusion);  // the application takes ownership
    }
    QApplication::setPalette(BuildPalette(*skin));
    app->setStyleSheet(QString::fromStdString(lumigrab::skin::BuildStyleSheet(*skin)));
    return 1;
}
