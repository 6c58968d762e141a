#include "shell/res/string_table.h"

#include "platform/config.h"

namespace {

// The source is UTF-8, and so are the texts.
struct entry {
    int id;
    const char *zh;
    const char *en;
};

const entry table[] = {
    {103, "Ostrelle\r\n状态： ", "Ostrelle\r\nStatus: "},
    {104, "另存为", "Save As"},
    {105, "MireltaDuvo信息", "Ostrelle"},
    {106, "设置", "Setting"},
    {107, "关于 MireltaDuvo", "About Mirelta Duvo Connector"},
    {108, "连接失败", "Disconnected"},
    {109, "连接失败", "Disconnected"},
    {110, "连接失败", "Disconnected"},
    {111, "连接成功", "Connected"},
    {112, "连接成功", "Connected"},
    {113, "连接失败", "Disconnected"},
    {114, "应用程序已在运行...", "Application is already running..."},
    {116, "温馨提示", "Ostrelle"},
    {120, "版本信息：", "Version: "},
    {123, "检测到新版本 %s，是否下载安装？", "A new version %s was found. Do you want to update?"},
    {124, "版本更新提示", "Update Info"},
    {125, "配对失败!请检查话机端的Duvo模式和网络",
     "Connect failed! Please check the setting on the phone and network!"},
    {127, "取消话机Syslog(&C)", "Cancel Phone Syslog(&C)"},
    {128, "连接失败", "Disconnected"},
    {129, "Ostrelle初始化失败", "Ostrelle init failed!"},
    {137, "USB驱动安装失败，请等待USB驱动重新安装成功",
     "USB driver init fail, please wait usb install "},
    {141, "Ostrelle\r\n", "Ostrelle\r\n"},
    {154, "Ostrelle", "Ostrelle"},
    {155, "请检查输入的配对码是否有误", "Wrong pairing code,check again please!"},
    {156, "配对失败！请检查端口设置和网络状况！",
     "Connect failed!Please check the setting on the phone and network!"},
    {160, "意见反馈", "Feedback"},
    {167, "开启数据抓包，本次抓包将在此次Duvo连接结束后自动结束或者再次重复此操作结束抓包",
     "Capture audio data start!"},
    {168, "关闭数据抓包，抓包数据保存位置同日志保存位置相同", "Capture audio data finish."},
    {170, "请输入话机上显示的配对码", "Enter Pairing Code which is shown on your phone"},
};

}  // namespace

std::string lang_string(int id, int lang) {
    for (const entry &e : table)
        if (e.id == id) return lang == 1 ? e.zh : e.en;
    return "";
}

std::string LoadLangString(int id) {
    return lang_string(id, g_config.lang);
}
