#pragma once
// Object names of the main window's controls. Names are UTF-8 (they are Qt
// object names); control texts are GBK.
#include <string_view>

namespace lumigrab::ctl {

// Result list group.
inline constexpr std::string_view kPictureNameLabel = "透明标签6";
inline constexpr std::string_view kPictureName = "编辑框_图片名";
inline constexpr std::string_view kResultList = "超级列表框1";
inline constexpr std::string_view kProgress = "进度条1";
// Preview group.
inline constexpr std::string_view kPreviousButton = "按钮_上一张";
inline constexpr std::string_view kNextButton = "按钮_下一张";
inline constexpr std::string_view kPictureBox = "图片框1";
inline constexpr std::string_view kDrawingPanel = "画板1";
inline constexpr std::string_view kPreviewTimer = "时钟1";
// Harvest settings group.
inline constexpr std::string_view kDepth = "组合框_页";
inline constexpr std::string_view kKeyword = "编辑框_查找";
inline constexpr std::string_view kWidthFilter = "编辑框_宽";
inline constexpr std::string_view kHeightFilter = "编辑框_高";
inline constexpr std::string_view kLetterCount = "编辑框_字符数";
inline constexpr std::string_view kHarvestButton = "按钮_获取图片地址";
inline constexpr std::string_view kAutoPreview = "选择框1";
// Download group.
inline constexpr std::string_view kThreadCount = "编辑框_线程数量";
inline constexpr std::string_view kThumbnailRadio = "单选框1";
inline constexpr std::string_view kFullSizeRadio = "单选框2";
inline constexpr std::string_view kResizeWidth = "编辑框_W";
inline constexpr std::string_view kResizeHeight = "编辑框_W1";
inline constexpr std::string_view kResizeCheck = "选择框_指定宽高";
inline constexpr std::string_view kKeepOriginalCheck = "选择框_保留原图";
inline constexpr std::string_view kDownloadButton = "按钮_下载开始";
// Work log group.
inline constexpr std::string_view kLog = "编辑框_日志";
// On the window.
inline constexpr std::string_view kStopButton = "按钮_下载开始1";

// List columns of an image record.
inline constexpr int kColSaveName = 0;
inline constexpr int kColAddress = 1;
inline constexpr int kColWidth = 2;
inline constexpr int kColHeight = 3;
inline constexpr int kColState = 4;
inline constexpr int kColThumbnail = 5;

}  // namespace lumigrab::ctl
