#pragma once
// The one way the core reaches the window. Every operation names its control
// by object name (see port/controls.h). The Qt window implements this; tests use
// an in-memory fake (tests/support/fake_window.h).
//
// The result list is not here: the core owns it (port/picture_list.h) and the
// window shows it, taking its changes in batches.
//
// Contract for implementations:
//  - Every operation may be called from any thread. Called on the window
//    thread it runs directly, after whatever other threads handed over before.
//  - From another thread, an operation that returns nothing is handed over
//    and the caller goes on at once: the window carries such operations out
//    in the order they were made, in batches, so a worker never waits for the
//    window. Reads and the message box wait for the window thread; the core
//    makes them on the window thread only.
//  - Nothing here ever makes the window thread wait for another thread.
//  - Text values are system text (GBK bytes); the window converts at its edge.
//  - An operation on a control that does not exist, or of the wrong kind, does
//    nothing and reads as the empty value (empty text, 0, false, -1 for an index).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "port/picture_list.h"
#include "text/text.h"

namespace lumigrab {

enum class MessageIcon { None, Information, Error };

class WindowPort {
public:
    virtual ~WindowPort() = default;

    // Edit boxes and the editable combo box.
    virtual Text text(std::string_view control) = 0;
    virtual void setText(std::string_view control, const Text& value) = 0;
    // The work log's append: caret to the end with nothing selected, insert,
    // keep the new text in view; the insertion is not undoable.
    virtual void appendText(std::string_view control, const Text& value) = 0;
    virtual void setFocus(std::string_view control) = 0;
    // The characters of an edit box's text that system text cannot hold, each
    // once, in order of appearance; empty when there are none. text() gives
    // each of them as "?", so this is how the core tells a typed "?" from one.
    virtual std::u32string charactersWithoutGbk(std::string_view control) = 0;

    // Combo box: 0-based index of the selected entry, -1 when none.
    virtual int selectedIndex(std::string_view control) = 0;

    // Check boxes and radio boxes.
    virtual bool isChecked(std::string_view control) = 0;
    virtual void setChecked(std::string_view control, bool checked) = 0;

    // Buttons and check boxes.
    virtual void setEnabled(std::string_view control, bool enabled) = 0;

    // Timer: 0 stops it.
    virtual void setTimerInterval(std::string_view control, int milliseconds) = 0;

    // Progress bar.
    virtual void setProgressMaximum(std::string_view control, int value) = 0;
    virtual void setProgressPosition(std::string_view control, int value) = 0;

    // Picture box: the bytes of a picture file; bytes no decoder accepts
    // (empty included) leave the box empty.
    virtual void setPicture(std::string_view control, const Bytes& picture) = 0;

    // The list the result list view (超级列表框1) shows. The same object for
    // the window's whole life; use it from any thread, it never waits for
    // the window.
    virtual PictureList& pictureList() = 0;

    // OK-only, task-modal box without an owner; returns when it is closed.
    virtual void messageBox(const Text& message, const Text& caption,
                            MessageIcon icon = MessageIcon::None) = 0;

    // Runs `work` on the window thread as one step: nothing else the window
    // does comes between its operations. On the window thread it runs at
    // once; from another thread it is handed over like any other operation
    // that returns nothing, in order with them, and the caller goes on.
    virtual void runOnWindowThread(std::function<void()> work) = 0;
};

}  // namespace lumigrab
