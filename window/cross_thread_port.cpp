#include "window/cross_thread_port.h"

#include <algorithm>

namespace lumigrab::ui {

namespace {

// Joining appends must leave the box as separate appends would, in its bytes
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
        request = !flushRequested_;
        flushRequested_ = true;
        if (item.kind == Kind::Barrier) {
            lastWrite_.clear();
            queue_.push_back(std::move(item));
        } else {
            auto last = std::find_if(lastWrite_.begin(), lastWrite_.end(),
                                     [&](const auto& entry) { return entry.first == item.control; });
            HandedOver* earlier = last == lastWrite_.end() ? nullptr : &queue_[last->second];
            const bool sameKind = earlier && earlier->kind == item.kind;
            if (sameKind && item.kind == Kind::Append && EndsBetweenCharacters(earlier->appended)) {
                earlier->appended += item.appended;
            } else if (sameKind && (item.kind == Kind::Position || item.kind == Kind::Picture)) {
                earlier->op = std::move(item.op);
            } else {
                const std::size_t at = queue_.size();
                if (last == lastWrite_.end()) {
                    lastWrite_.emplace_back(item.control, at);
                } else {
                    last->second = at;
                }
                queue_.push_back(std::move(item));
            }
        }
    }
    if (request) batch_->request();
}

void CrossThreadPort::run(HandedOver& item) {
    ++stepDepth_;
    if (item.op) {
        item.op();
    } else {
        controls_.appendText(item.control, item.appended);
    }
    --stepDepth_;
}

void CrossThreadPort::applyHandedOver() {
    {
        std::lock_guard lock(mutex_);
        flushRequested_ = false;
        lastWrite_.clear();
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
    write(Kind::Plain, c, [this, c = std::string(c), v] { controls_.setText(c, v); });
}
void CrossThreadPort::appendText(std::string_view c, const Text& v) {
    if (onWindowThread()) {
        write(Kind::Plain, c, [&] { controls_.appendText(c, v); });
    } else {
        handOver({Kind::Append, std::string(c), {}, v});
    }
}
void CrossThreadPort::setFocus(std::string_view c) {
    // Focus leaves one control for another: keep it in place among the rest.
    write(Kind::Barrier, c, [this, c = std::string(c)] { controls_.setFocus(c); });
}
void CrossThreadPort::setChecked(std::string_view c, bool v) {
    write(Kind::Plain, c, [this, c = std::string(c), v] { controls_.setChecked(c, v); });
}
void CrossThreadPort::setEnabled(std::string_view c, bool v) {
    write(Kind::Plain, c, [this, c = std::string(c), v] { controls_.setEnabled(c, v); });
}
void CrossThreadPort::setTimerInterval(std::string_view c, int ms) {
    write(Kind::Plain, c, [this, c = std::string(c), ms] { controls_.setTimerInterval(c, ms); });
}
// Not replaceable: a lower maximum pulls the position down with it.
void CrossThreadPort::setProgressMaximum(std::string_view c, int v) {
    write(Kind::Plain, c, [this, c = std::string(c), v] { controls_.setProgressMaximum(c, v); });
}
void CrossThreadPort::setProgressPosition(std::string_view c, int v) {
    write(Kind::Position, c, [this, c = std::string(c), v] { controls_.setProgressPosition(c, v); });
}

void CrossThreadPort::setPicture(std::string_view c, const Bytes& picture) {
    if (onWindowThread()) {
        write(Kind::Plain, c, [&] { controls_.setPicture(c, picture); });
        return;
    }
    // Decoding can take a while; do it here so the window thread only swaps.
    write(Kind::Picture, c, [this, c = std::string(c), decoded = DecodePicture(picture)] {
        controls_.showPicture(c, decoded);
    });
}

void CrossThreadPort::runOnWindowThread(std::function<void()> work) {
    if (!work) return;
    if (!onWindowThread()) {
        handOver({Kind::Barrier, {}, std::move(work), {}});
        return;
    }
    if (stepDepth_ == 0) applyHandedOver();
    ++stepDepth_;
    work();
    --stepDepth_;
}

}  // namespace lumigrab::ui
