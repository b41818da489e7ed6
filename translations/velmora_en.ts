<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>velmora</name>
    <message>
        <source>未选中！</source>
        <translation>Nothing selected!</translation>
    </message>
    <message>
        <source>登录失败 错误码为%d</source>
        <translation>Login failed, error code %d</translation>
    </message>
    <message>
        <source>请求主码流失败! 错误码为: %d</source>
        <translation>Main stream request failed! Error code: %d</translation>
    </message>
    <message>
        <source>返回错误码: %d</source>
        <translation>Returned error code: %d</translation>
    </message>
    <message>
        <source>无效的设备句柄!</source>
        <translation>Invalid device handle!</translation>
    </message>
    <message>
        <source>无效的登录句柄！</source>
        <translation>Invalid login handle!</translation>
    </message>
    <message>
        <source>设置失败！</source>
        <translation>Setting failed!</translation>
    </message>
    <message>
        <source>请输入一个整数。</source>
        <translation>Please enter an integer.</translation>
    </message>
    <message>
        <source>所有视频参数都将恢复默认，确认执行此操作?</source>
        <translation>All video parameters will be restored to their defaults. Go ahead?</translation>
    </message>
    <message>
        <source>获取图像参数失败: %d.</source>
        <translation>Reading the image parameters failed: %d.</translation>
    </message>
    <message>
        <source>文件打开失败</source>
        <translation>The file could not be opened</translation>
    </message>
    <message>
        <source>导入配置成功！</source>
        <translation>Parameters imported!</translation>
    </message>
    <message>
        <source>导出配置成功！</source>
        <translation>Parameters exported!</translation>
    </message>
    <message>
        <source>数据长度不匹配！</source>
        <translation>Data length does not match!</translation>
    </message>
    <message>
        <source>数据长度不匹配：%d != %d.</source>
        <translation>Data length does not match: %d != %d.</translation>
    </message>
    <message>
        <source>获取参数出错： %d</source>
        <translation>Reading the parameters failed: %d</translation>
    </message>
    <message>
        <source>未选中预置位！</source>
        <translation>No preset selected!</translation>
    </message>
    <message>
        <source>添加预置位%d失败，返回错误码：%d。</source>
        <translation>Adding preset %d failed, error code: %d.</translation>
    </message>
    <message>
        <source>添加预置位%d成功。</source>
        <translation>Preset %d added.</translation>
    </message>
    <message>
        <source>调用预置位%d失败，返回错误码：%d。</source>
        <translation>Calling preset %d failed, error code: %d.</translation>
    </message>
    <message>
        <source>确定要删除预置位%d？</source>
        <translation>Delete preset %d?</translation>
    </message>
    <message>
        <source>删除预置位%d失败，返回错误码：%d。</source>
        <translation>Deleting preset %d failed, error code: %d.</translation>
    </message>
    <message>
        <source>删除预置位%d成功。</source>
        <translation>Preset %d deleted.</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>文件读取失败！</source>
        <translation>Reading the file failed!</translation>
    </message>
    <message>
        <source>无法打开文件:%s</source>
        <translation>Cannot open the file: %s</translation>
    </message>
    <message>
        <source>升级包过大(须小于4GB):%s</source>
        <translation>Upgrade package too large (must be under 4 GB): %s</translation>
    </message>
    <message>
        <source>升级包为空:%s</source>
        <translation>Upgrade package is empty: %s</translation>
    </message>
    <message>
        <source>重启成功的设备将从列表删除，稍后请重新手动刷新.</source>
        <translation>Rebooted devices leave the list; refresh it by hand later.</translation>
    </message>
    <message>
        <source>停止升级</source>
        <translation>Stop upgrade</translation>
    </message>
    <message>
        <source>请求升级[%s]...</source>
        <translation>Requesting upgrade [%s]...</translation>
    </message>
    <message>
        <source>请求升级失败:%d</source>
        <translation>Upgrade request failed: %d</translation>
    </message>
    <message>
        <source>发送升级包[%s]..</source>
        <translation>Sending package [%s]..</translation>
    </message>
    <message>
        <source>升级[%s]失败:%d</source>
        <translation>Upgrade [%s] failed: %d</translation>
    </message>
    <message>
        <source>升级[%s]失败: %d</source>
        <translation>Upgrade [%s] failed: %d</translation>
    </message>
    <message>
        <source>升级[%s]返回失败:%d</source>
        <translation>Upgrade [%s] reported failure: %d</translation>
    </message>
    <message>
        <source>升级返回失败:%d</source>
        <translation>Upgrade reported failure: %d</translation>
    </message>
    <message>
        <source>升级[%s]: %d%%</source>
        <translation>Upgrade [%s]: %d%%</translation>
    </message>
    <message>
        <source>升级[%s](烧写中):%d%%</source>
        <translation>Upgrade [%s] (writing): %d%%</translation>
    </message>
    <message>
        <source>升级[%s]超时:进度%d秒无变化</source>
        <translation>Upgrade [%s] timed out: no progress for %d s</translation>
    </message>
    <message>
        <source>升级成功.</source>
        <translation>Upgrade succeeded.</translation>
    </message>
    <message>
        <source>重启失败</source>
        <translation>Reboot failed</translation>
    </message>
    <message>
        <source>设备已经重启</source>
        <translation>Device rebooted</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>是</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>否</source>
        <translation>No</translation>
    </message>
    <message>
        <source>操作说明：双击设备节点以获取视频参数。</source>
        <translation>How to: double-click a device to read its video parameters.</translation>
    </message>
    <message>
        <source>配置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>升级</source>
        <translation>Upgrade</translation>
    </message>
    <message>
        <source>关于 Velmora(&amp;A)...</source>
        <translation>&amp;About Velmora...</translation>
    </message>
    <message>
        <source>刷新列表</source>
        <translation>Refresh list</translation>
    </message>
    <message>
        <source>关闭视频</source>
        <translation>Close video</translation>
    </message>
    <message>
        <source>关闭所有视频</source>
        <translation>Close all videos</translation>
    </message>
    <message>
        <source>白天</source>
        <translation>Day</translation>
    </message>
    <message>
        <source>夜晚</source>
        <translation>Night</translation>
    </message>
    <message>
        <source>自动</source>
        <translation>Auto</translation>
    </message>
    <message>
        <source>低</source>
        <translation>Low</translation>
    </message>
    <message>
        <source>中</source>
        <translation>Middle</translation>
    </message>
    <message>
        <source>高</source>
        <translation>High</translation>
    </message>
    <message>
        <source>日夜切换: </source>
        <translation>Day/night: </translation>
    </message>
    <message>
        <source>日夜切换灵敏度: </source>
        <translation>D/N sensitivity: </translation>
    </message>
    <message>
        <source>日夜切换</source>
        <translation>Day/night</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>手动</source>
        <translation>Manual</translation>
    </message>
    <message>
        <source>默认</source>
        <translation>Default</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>On</translation>
    </message>
    <message>
        <source>2D降噪: </source>
        <translation>2D NR: </translation>
    </message>
    <message>
        <source>3D降噪: </source>
        <translation>3D NR: </translation>
    </message>
    <message>
        <source>透雾: </source>
        <translation>Defog: </translation>
    </message>
    <message>
        <source>透雾等级: </source>
        <translation>Defog level: </translation>
    </message>
    <message>
        <source>伽玛矫正: </source>
        <translation>Gamma: </translation>
    </message>
    <message>
        <source>坏点矫正: </source>
        <translation>Defects: </translation>
    </message>
    <message>
        <source>智能曝光: </source>
        <translation>Smart AE: </translation>
    </message>
    <message>
        <source>智能聚焦: </source>
        <translation>Smart AF: </translation>
    </message>
    <message>
        <source>畸变矫正: </source>
        <translation>Distortion: </translation>
    </message>
    <message>
        <source>图像增强</source>
        <translation>Enhancement</translation>
    </message>
    <message>
        <source>快门优先</source>
        <translation>Shutter priority</translation>
    </message>
    <message>
        <source>光圈优先</source>
        <translation>Iris priority</translation>
    </message>
    <message>
        <source>全局</source>
        <translation>Whole</translation>
    </message>
    <message>
        <source>中部</source>
        <translation>Centre</translation>
    </message>
    <message>
        <source>顶部</source>
        <translation>Top</translation>
    </message>
    <message>
        <source>底部</source>
        <translation>Bottom</translation>
    </message>
    <message>
        <source>开启</source>
        <translation>On</translation>
    </message>
    <message>
        <source>曝光模式:</source>
        <translation>AE mode:</translation>
    </message>
    <message>
        <source>曝光补偿值:</source>
        <translation>AE comp.:</translation>
    </message>
    <message>
        <source>快门速度:</source>
        <translation>Shutter speed:</translation>
    </message>
    <message>
        <source>光圈:</source>
        <translation>Iris:</translation>
    </message>
    <message>
        <source>增益:</source>
        <translation>Gain:</translation>
    </message>
    <message>
        <source>增益限制:</source>
        <translation>Gain limit:</translation>
    </message>
    <message>
        <source>曝光区域:</source>
        <translation>Metering:</translation>
    </message>
    <message>
        <source>宽动态:</source>
        <translation>WDR:</translation>
    </message>
    <message>
        <source>宽动态等级:</source>
        <translation>WDR level:</translation>
    </message>
    <message>
        <source>背光补偿:</source>
        <translation>Backlight:</translation>
    </message>
    <message>
        <source>防闪烁:</source>
        <translation>Anti-flicker:</translation>
    </message>
    <message>
        <source>曝光参数</source>
        <translation>Exposure</translation>
    </message>
    <message>
        <source>一次</source>
        <translation>Once</translation>
    </message>
    <message>
        <source>全部</source>
        <translation>All</translation>
    </message>
    <message>
        <source>上</source>
        <translation>Upper</translation>
    </message>
    <message>
        <source>下</source>
        <translation>Lower</translation>
    </message>
    <message>
        <source>速度优先</source>
        <translation>Speed first</translation>
    </message>
    <message>
        <source>平滑优先</source>
        <translation>Smooth first</translation>
    </message>
    <message>
        <source>聚焦策略: </source>
        <translation>AF strategy: </translation>
    </message>
    <message>
        <source>激光量程:</source>
        <translation>Laser range:</translation>
    </message>
    <message>
        <source>聚焦模式: </source>
        <translation>Focus mode: </translation>
    </message>
    <message>
        <source>聚焦区域: </source>
        <translation>Focus area: </translation>
    </message>
    <message>
        <source>聚焦近限: </source>
        <translation>Near limit: </translation>
    </message>
    <message>
        <source>聚焦灵敏度: </source>
        <translation>AF sensitivity: </translation>
    </message>
    <message>
        <source>聚焦</source>
        <translation>Focus</translation>
    </message>
    <message>
        <source>聚焦近限值:</source>
        <translation>Near limit value:</translation>
    </message>
    <message>
        <source>聚焦近限值</source>
        <translation>Near limit value</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>图像参数</source>
        <translation>Image parameters</translation>
    </message>
    <message>
        <source>图像调节</source>
        <translation>Picture</translation>
    </message>
    <message>
        <source>白平衡</source>
        <translation>White balance</translation>
    </message>
    <message>
        <source>视频调整</source>
        <translation>Video</translation>
    </message>
    <message>
        <source>导入配置</source>
        <translation>Import</translation>
    </message>
    <message>
        <source>导出配置</source>
        <translation>Export</translation>
    </message>
    <message>
        <source>恢复默认</source>
        <translation>Defaults</translation>
    </message>
    <message>
        <source>自定义1</source>
        <translation>Custom 1</translation>
    </message>
    <message>
        <source>自定义2</source>
        <translation>Custom 2</translation>
    </message>
    <message>
        <source>自定义3</source>
        <translation>Custom 3</translation>
    </message>
    <message>
        <source>场景: </source>
        <translation>Scene: </translation>
    </message>
    <message>
        <source>风格: </source>
        <translation>Style: </translation>
    </message>
    <message>
        <source>数字变倍: </source>
        <translation>Digital zoom: </translation>
    </message>
    <message>
        <source>其他</source>
        <translation>Others</translation>
    </message>
    <message>
        <source>风格%1</source>
        <translation>Style %1</translation>
    </message>
    <message>
        <source>亮度:</source>
        <translation>Brightness:</translation>
    </message>
    <message>
        <source>对比度:</source>
        <translation>Contrast:</translation>
    </message>
    <message>
        <source>饱和度:</source>
        <translation>Saturation:</translation>
    </message>
    <message>
        <source>色度:</source>
        <translation>Hue:</translation>
    </message>
    <message>
        <source>锐度:</source>
        <translation>Sharpness:</translation>
    </message>
    <message>
        <source>美颜</source>
        <translation>Beauty</translation>
    </message>
    <message>
        <source>珠宝</source>
        <translation>Jewellery</translation>
    </message>
    <message>
        <source>服饰</source>
        <translation>Clothing</translation>
    </message>
    <message>
        <source>竖屏: </source>
        <translation>Portrait: </translation>
    </message>
    <message>
        <source>水平镜像: </source>
        <translation>Mirror: </translation>
    </message>
    <message>
        <source>垂直镜像: </source>
        <translation>Flip: </translation>
    </message>
    <message>
        <source>室内</source>
        <translation>Indoor</translation>
    </message>
    <message>
        <source>色温</source>
        <translation>Colour temp.</translation>
    </message>
    <message>
        <source>色温: </source>
        <translation>Colour temp.: </translation>
    </message>
    <message>
        <source>白平衡模式: </source>
        <translation>WB mode: </translation>
    </message>
    <message>
        <source>白平衡灵敏度: </source>
        <translation>WB sensitivity: </translation>
    </message>
    <message>
        <source>红增益: </source>
        <translation>Red gain: </translation>
    </message>
    <message>
        <source>蓝增益: </source>
        <translation>Blue gain: </translation>
    </message>
    <message>
        <source>红微调: </source>
        <translation>Red fine: </translation>
    </message>
    <message>
        <source>绿微调: </source>
        <translation>Green fine: </translation>
    </message>
    <message>
        <source>蓝微调: </source>
        <translation>Blue fine: </translation>
    </message>
    <message>
        <source>开始升级</source>
        <translation>Start upgrade</translation>
    </message>
    <message>
        <source>确定退出？</source>
        <translation>Quit Velmora?</translation>
    </message>
    <message>
        <source>升级超时:%s秒内未完成</source>
        <translation>Upgrade timed out: not finished within %s s</translation>
    </message>
    <message>
        <source>重启中...</source>
        <translation>Rebooting...</translation>
    </message>
    <message>
        <source>重启失败:%d</source>
        <translation>Reboot failed: %d</translation>
    </message>
    <message>
        <source>等待设备重新上线...</source>
        <translation>Waiting for the device to come back...</translation>
    </message>
    <message>
        <source>重启后未上线</source>
        <translation>Not back after the reboot</translation>
    </message>
    <message>
        <source>校验版本...</source>
        <translation>Checking the version...</translation>
    </message>
    <message>
        <source>读取设备信息失败:%d</source>
        <translation>Reading the device information failed: %d</translation>
    </message>
    <message>
        <source>版本未变</source>
        <translation>Version unchanged</translation>
    </message>
    <message>
        <source>版本不符:%s</source>
        <translation>Wrong version: %s</translation>
    </message>
    <message>
        <source>编译时间不符:%s</source>
        <translation>Wrong build date: %s</translation>
    </message>
    <message>
        <source>校验通过:版本%s</source>
        <translation>Checked: version %s</translation>
    </message>
    <message>
        <source>登录失败 错误码为%d（%s）</source>
        <translation>Login failed, error code %d (%s)</translation>
    </message>
    <message>
        <source>用户名或密码错误</source>
        <translation>wrong user name or password</translation>
    </message>
    <message>
        <source>该地址没有相机应答</source>
        <translation>no camera answers there</translation>
    </message>
    <message>
        <source>相机未及时应答</source>
        <translation>the camera did not answer in time</translation>
    </message>
    <message>
        <source>相机断开了连接</source>
        <translation>the camera closed the connection</translation>
    </message>
    <message>
        <source>相机拒绝登录</source>
        <translation>the camera refused the login</translation>
    </message>
    <message>
        <source>相机的会话已满</source>
        <translation>the camera has no room for another session</translation>
    </message>
    <message>
        <source>相机的协议版本不同</source>
        <translation>the camera speaks another protocol version</translation>
    </message>
    <message>
        <source>无法理解相机的应答</source>
        <translation>the camera&apos;s reply was not understood</translation>
    </message>
    <message>
        <source>地址、用户名或密码不可用</source>
        <translation>address, user name or password not usable</translation>
    </message>
    <message>
        <source>网络库未初始化</source>
        <translation>the network library is not initialised</translation>
    </message>
</context>
<context>
    <name>velmora::ui::AddDeviceDlg</name>
    <message>
        <source>添加设备</source>
        <translation>Add device</translation>
    </message>
    <message>
        <source>地址：</source>
        <translation>Address:</translation>
    </message>
    <message>
        <source>端口（可选）：</source>
        <translation>Port (optional):</translation>
    </message>
    <message>
        <source>搜索不到的相机（其他网段、隔着路由器）可按地址添加。</source>
        <translation>A camera the search cannot reach (another subnet, behind a router) can be added by its address.</translation>
    </message>
    <message>
        <source>地址无效：请输入 IPv4 地址，如 192.168.1.64。</source>
        <translation>Invalid address: enter an IPv4 address such as 192.168.1.64.</translation>
    </message>
    <message>
        <source>端口无效：请输入 1 到 65535 之间的数。</source>
        <translation>Invalid port: enter a number from 1 to 65535.</translation>
    </message>
</context>
<context>
    <name>velmora::ui::CPtzSimpleCtrl</name>
    <message>
        <source>变倍</source>
        <translation>Zoom</translation>
    </message>
    <message>
        <source>聚焦</source>
        <translation>Focus</translation>
    </message>
    <message>
        <source>预置位</source>
        <translation>Presets</translation>
    </message>
    <message>
        <source>预置位%1</source>
        <translation>Preset %1</translation>
    </message>
    <message>
        <source>添加</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>调用</source>
        <translation>Call</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
</context>
<context>
    <name>velmora::ui::CUpgradeDlg</name>
    <message>
        <source>升级</source>
        <translation>Upgrade</translation>
    </message>
    <message>
        <source>设备列表</source>
        <translation>Devices</translation>
    </message>
    <message>
        <source>序号</source>
        <translation>No.</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>State</translation>
    </message>
    <message>
        <source>设备名称</source>
        <translation>Device name</translation>
    </message>
    <message>
        <source>型号</source>
        <translation>Model</translation>
    </message>
    <message>
        <source>序列号</source>
        <translation>Serial</translation>
    </message>
    <message>
        <source>机芯版本</source>
        <translation>Module version</translation>
    </message>
    <message>
        <source>编译时间</source>
        <translation>Build date</translation>
    </message>
    <message>
        <source>PS:如果设备被拔出，请重新刷新列表.</source>
        <translation>Note: if a device is unplugged, refresh the list.</translation>
    </message>
    <message>
        <source>升级包</source>
        <translation>Upgrade packages</translation>
    </message>
    <message>
        <source>支持一次选择多个升级包。</source>
        <translation>Several packages can be chosen at once.</translation>
    </message>
    <message>
        <source>浏览</source>
        <translation>Browse</translation>
    </message>
    <message>
        <source>重启设备</source>
        <translation>Reboot devices</translation>
    </message>
    <message>
        <source>完成后重启并校验版本</source>
        <translation>Reboot and check the version when done</translation>
    </message>
    <message>
        <source>无法跟踪设备重新上线，不能重启校验版本。</source>
        <translation>Cameras coming back cannot be followed, so the reboot and version check cannot run.</translation>
    </message>
    <message>
        <source>已校验 %1 台，失败 %2 台</source>
        <translation>%1 verified, %2 failed</translation>
    </message>
</context>
<context>
    <name>velmora::ui::CVelmoraDlg</name>
    <message>
        <source>型号：%1
序列号：%2
固件版本：%3
编译日期：%4</source>
        <translation>Model: %1
Serial: %2
Firmware: %3
Build date: %4</translation>
    </message>
    <message>
        <source>关于 Velmora</source>
        <translation>About Velmora</translation>
    </message>
    <message>
        <source>Velmora，1.0 版</source>
        <translation>Velmora, version 1.0</translation>
    </message>
    <message>
        <source>版本 %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>通讯</source>
        <translation>Connection</translation>
    </message>
    <message>
        <source>画面</source>
        <translation>View</translation>
    </message>
    <message>
        <source>工具</source>
        <translation>Tools</translation>
    </message>
    <message>
        <source>对比配置文件...</source>
        <translation>Compare with profile...</translation>
    </message>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>设备列表</source>
        <translation>Devices</translation>
    </message>
    <message>
        <source>搜索到的设备</source>
        <translation>Found devices</translation>
    </message>
    <message>
        <source>已有 %1 次搜索未应答</source>
        <translation>No answer to %1 searches</translation>
    </message>
    <message>
        <source>无法打开设备 (错误码 %1)</source>
        <translation>Cannot open the device (error %1)</translation>
    </message>
    <message>
        <source>无法读取设备信息 (错误码 %1)</source>
        <translation>Cannot read the device information (error %1)</translation>
    </message>
    <message>
        <source>相机“%1”（%2）已拔出：插回后自动恢复。</source>
        <translation>Camera &quot;%1&quot; (%2) was unplugged: it comes back when plugged in again.</translation>
    </message>
    <message>
        <source>添加设备...</source>
        <translation>Add device...</translation>
    </message>
    <message>
        <source>重新连接</source>
        <translation>Reconnect</translation>
    </message>
    <message>
        <source>抓图</source>
        <translation>Snapshot</translation>
    </message>
    <message>
        <source>手动添加：%1:%2</source>
        <translation>Added by hand: %1:%2</translation>
    </message>
    <message>
        <source>未找到设备：已搜索 %1 个地址</source>
        <translation>No device found: %1 address(es) searched</translation>
    </message>
    <message>
        <source>无法记住密码：%1
%2</source>
        <translation>Cannot remember the password: %1
%2</translation>
    </message>
    <message>
        <source>抓图失败：该窗格没有画面。</source>
        <translation>Snapshot failed: the pane has no picture.</translation>
    </message>
    <message>
        <source>抓图失败：%1
%2</source>
        <translation>Snapshot failed: %1
%2</translation>
    </message>
    <message>
        <source>抓图已保存到：
%1</source>
        <translation>Snapshot saved to:
%1</translation>
    </message>
    <message>
        <source>无法保存到 %1：
%2</source>
        <translation>Cannot save to %1:
%2</translation>
    </message>
    <message>
        <source>选择要对比的配置文件</source>
        <translation>Choose the parameter file to compare</translation>
    </message>
</context>
<context>
    <name>velmora::ui::CompareProfileDlg</name>
    <message>
        <source>对比配置文件</source>
        <translation>Compare with profile</translation>
    </message>
    <message>
        <source>不同的参数</source>
        <translation>Differing parameters</translation>
    </message>
    <message>
        <source>参数</source>
        <translation>Parameter</translation>
    </message>
    <message>
        <source>相机</source>
        <translation>Camera</translation>
    </message>
    <message>
        <source>文件</source>
        <translation>File</translation>
    </message>
    <message>
        <source>应用</source>
        <translation>Apply</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>配置文件无法使用: %1</source>
        <translation>The profile cannot be used: %1</translation>
    </message>
    <message>
        <source>获取参数出错： %1</source>
        <translation>Reading the parameters failed: %1</translation>
    </message>
    <message>
        <source>%1 个参数不同（文件含 %2 个参数）：</source>
        <translation>%1 parameters differ (the file holds %2):</translation>
    </message>
    <message>
        <source>结果</source>
        <translation>Result</translation>
    </message>
    <message>
        <source>已确认</source>
        <translation>Confirmed</translation>
    </message>
    <message>
        <source>相机保留 %1</source>
        <translation>Camera kept %1</translation>
    </message>
    <message>
        <source>被拒绝，错误码 %1</source>
        <translation>Refused, error %1</translation>
    </message>
    <message>
        <source>已跳过（相机不提供）</source>
        <translation>Skipped (not offered by the camera)</translation>
    </message>
    <message>
        <source>未能读回</source>
        <translation>Not read back</translation>
    </message>
    <message>
        <source>已确认 %1，已调整 %2，被拒绝 %3，已跳过 %4：</source>
        <translation>%1 confirmed, %2 adjusted, %3 refused, %4 skipped:</translation>
    </message>
</context>
<context>
    <name>velmora::ui::LoginDlg</name>
    <message>
        <source>登录 - %1</source>
        <translation>Log in - %1</translation>
    </message>
    <message>
        <source>记住密码</source>
        <translation>Remember password</translation>
    </message>
    <message>
        <source>用户名：</source>
        <translation>User name:</translation>
    </message>
    <message>
        <source>密码：</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>相机拒绝了用户名或密码，请重新输入。</source>
        <translation>The camera refused the user name or password; enter them again.</translation>
    </message>
</context>
<context>
    <name>velmora::ui::PathPicker</name>
    <message>
        <source>请选择路径</source>
        <translation>Please choose a path</translation>
    </message>
    <message>
        <source>路径</source>
        <translation>Path</translation>
    </message>
    <message>
        <source>浏览</source>
        <translation>Browse</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>选择导出配置的文件夹</source>
        <translation>Choose the folder to export the parameters into</translation>
    </message>
    <message>
        <source>选择要导入的配置文件</source>
        <translation>Choose the parameter file to import</translation>
    </message>
</context>
<context>
    <name>velmora::ui::VideoPaneWidget</name>
    <message>
        <source>连接已断开</source>
        <translation>Connection lost</translation>
    </message>
</context>
</TS>
