#include "window/cross_thread_port.h"

namespace lumigrab::ui {

namespace {

// Joining appends must leave the log as separate appends would, in its bytes
// and in what it shows. A text that ends in an ASCII byte ends between
// characters, so the next one converts the same alone or joined.
bool EndsBetweenCharacters(const Text& text) {
    return !text.empty() && static_cast<unsigned char>(text.back()) < 0x80;
}

}  // namespace

CrossThreadPort::CrossThreadPort(WindowControls& controls, QObject* context)
    : controls_(controls),
      context_(context),
      batch_(std::make_unique<BatchTimer>([this] { applyHandedOver(); })) {
    if (batch_->thread() != context_->thread()) batch_->moveToThread(context_->thread());
}

// What was handed over and never applied goes with the port.
CrossThreadPort::~CrossThreadPort() = default;

void CrossThreadPort::handOver(HandedOver item) {
    bool request = false;
    {
        std::lock_guard lock(mutex_);
        HandedOver* last = queue_.empty() ? nullptr : &queue_.back();
        if (!item.op && last && !last->op && last->appendTo == item.appendTo &&
            EndsBetweenCharacters(last->appended)) {
            last->appended += item.appended;
        } else {
            queue_.push_back(std::move(item));
        }
        request = !flushRequested_;
        flushRequested_ = true;
    }
    if (request) batch_->request();
}

void CrossThreadPort::run(HandedOver& item) {
    ++stepDepth_;
    if (item.op) {
        item.op();
    } else {
        controls_.appendText(item.appendTo, item.appended);
    }
    --stepDepth_;
}

void CrossThreadPort::applyHandedOver() {
    {
        std::lock_guard lock(mutex_);
        flushRequested_ = false;
        if (!queue_.empty()) {
            if (next_ >= applying_.size()) {
                applying_.clear();
                next_ = 0;
                applying_.swap(queue_);
            } else {
                applying_.insert(applying_.end(), std::make_move_iterator(queue_.begin()),
                                 std::make_move_iterator(queue_.end()));
                queue_.clear();
            }
        }
    }
    // Only what was there when this began: workers handing over faster than
    // the window applies must not keep it from painting.
    while (next_ < applying_.size()) {
        HandedOver item = std::move(applying_[next_++]);
        run(item);
    }
    applying_.clear();
    next_ = 0;
}

Text CrossThreadPort::text(std::string_view c) {
    return read([&] { return controls_.text(c); });
}
std::u32string CrossThreadPort::charactersWithoutGbk(std::string_view c) {
    return read([&] { return controls_.charactersWithoutGbk(c); });
}
int CrossThreadPort::selectedIndex(std::string_view c) {
    return read([&] { return controls_.selectedIndex(c); });
}
bool CrossThreadPort::isChecked(std::string_view c) {
    return read([&] { return controls_.isChecked(c); });
}
void CrossThreadPort::messageBox(const Text& m, const Text& cap, MessageIcon icon) {
    read([&] { controls_.messageBox(m, cap, icon); });
}

// Writes copy their arguments: a handed-over write runs after its caller
// has gone on.

void CrossThreadPort::setText(std::string_view c, const Text& v) {
    write([this, c = std::string(c), v] { controls_.setText(c, v); });
}
void CrossThreadPort::appendText(std::string_view c, const Text& v) {
    if (onWindowThread()) {
        write([&] { controls_.appendText(c, v); });
    } else {
        handOver({{}, std::string(c), v});
    }
}
void CrossThreadPort::setFocus(std::string_view c) {
    write([this, c = std::string(c)] { controls_.setFocus(c); });
}
void CrossThreadPort::setChecked(std::string_view c, bool v) {
    write([this, c = std::string(c), v] { controls_.setChecked(c, v); });
}
void CrossThreadPort::setEnabled(std::string_view c, bool v) {
    write([this, c = std::string(c), v] { controls_.setEnabled(c, v); });
}
void CrossThreadPort::setTimerInterval(std::string_view c, int ms) {
    write([this, c = std::string(c), ms] { controls_.setTimerInterval(c, ms); });
}
void CrossThreadPort::setProgressMaximum(std::string_view c, int v) {
    write([this, c = std::string(c), v] { controls_.setProgressMaximum(c, v); });
}
void CrossThreadPort::setProgressPosition(std::string_view c, int v) {
    write([this, c = std::string(c), v] { controls_.setProgressPosition(c, v); });
}

void CrossThreadPort::setPicture(std::string_view c, const Bytes& picture) {
    if (onWindowThread()) {
        write([&] { controls_.setPicture(c, picture); });
        return;
    }
    // Decoding can take a while; do it here so the window thread only swaps.
    write([this, c = std::string(c), decoded = DecodePicture(picture)] {
        controls_.showPicture(c, decoded);
    });
}

void CrossThreadPort::runOnWindowThread(std::function<void()> work) {
    if (!work) return;
    if (!onWindowThread()) {
        handOver({std::move(work), {}, {}});
        return;
    }
    if (stepDepth_ == 0) applyHandedOver();
    ++stepDepth_;
    work();
    --stepDepth_;
}

}  // namespace lumigrab::ui
