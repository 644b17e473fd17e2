// A skin of flat colours for the tests: no gradients and square corners, so every pixel
// the skin paints can be checked against the colour the file gives it.
#pragma once
#include <windows.h>
#include <string>

namespace skintest {

const COLORREF kWindow = RGB(0x20, 0x40, 0x60);
const COLORREF kBanner = RGB(0x60, 0x40, 0x20);
const COLORREF kPanel = RGB(0x12, 0x34, 0x56);
const COLORREF kText = RGB(0xE0, 0xE0, 0xE0);
const COLORREF kFace = RGB(0xA0, 0xB0, 0xC0);
const COLORREF kHot = RGB(0xB0, 0xC0, 0xD0);
const COLORREF kPressed = RGB(0x70, 0x80, 0x90);
const COLORREF kDisabled = RGB(0xC8, 0xC8, 0xC8);
const COLORREF kBorder = RGB(0x00, 0x00, 0x80);
const COLORREF kLabel = RGB(0xFF, 0xFF, 0x00);
const COLORREF kFocus = RGB(0xFF, 0x80, 0x00);
const COLORREF kLinkText = RGB(0x00, 0xFF, 0xFF);
const COLORREF kBar = RGB(0x00, 0xAA, 0x00);
const COLORREF kBarBack = RGB(0x00, 0x22, 0x00);

// Dialog 102: banner 20 dialog units; a panel under the two check boxes.
const int kBannerDlu = 20;

// UTF-8 with a byte-order mark, as the shipped skin file.
inline std::string FlatSkinText()
{
    return std::string("\xEF\xBB\xBF") + u8R"([skin]
name = Flat
font = 宋体
size = 9

[colors]
window = #204060
banner = #604020
text = #E0E0E0
panel = #123456
panel_border = #123456
bar = #00AA00
bar_back = #002200

[style normal]
face = #A0B0C0
hot = #B0C0D0
pressed = #708090
disabled = #C8C8C8
border = #000080
text = #FFFF00
hot_text = #FFFF00
disabled_text = #808080
focus = #FF8000
radius = 0

[style link]
kind = link
text = #00FFFF
hot_text = #00FFFF

[dialog 102]
banner = 20
title = 平面
panel = 60,105,110,20
button 1004 = 登录
button 1005 = link | 注册新帐号
button 1006 = link | 找回密码
button 1007 = 删除帐号
button 4000 = 不存在的按钮
button 65535 = 也不存在

[dialog 131]
banner = 40
title = 电话
button 1008 = 1
button 1031 = 呼叫
button 1020 = 挂断

[dialog 133]
button 1035 = 应用

[dialog 159]

[dialog 160]
notes = 10,10,230,240
heading = 耳机
paragraph = 请使用耳机。

[dialog 9201]
button 9212 = 其他按钮
)";
}

}  // namespace skintest
