#pragma once
// What the window runs for each wired control event. All calls come on the
// window thread. The window knows nothing of harvests or downloads: the
// program (program/main.cpp) plugs the core's operations in here.
namespace lumigrab {

class EventHandlers {
public:
    virtual ~EventHandlers() = default;
    virtual void windowCreated() {}      // before the window is first shown
    virtual void firstActivation() {}    // the first time the window becomes active
    virtual void harvestClicked() {}     // 按钮_获取图片地址
    virtual void downloadClicked() {}    // 按钮_下载开始
    virtual void stopClicked() {}        // 按钮_下载开始1
    virtual void previousClicked() {}    // 按钮_上一张
    virtual void nextClicked() {}        // 按钮_下一张
    virtual void autoPreviewReleased() {}  // left button released over 选择框1, before it toggles
    virtual void timerTick() {}          // 时钟1
};

}  // namespace lumigrab
