<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>BurnTab</name>
    <message>
        <source>设备处于U-Boot阶段，请勾选“强制升级”或将设备重启到BROM后再烧写</source>
        <translation>The device is in U-Boot: tick &quot;Force upgrade&quot; or restart the device into BROM before burning</translation>
    </message>
    <message>
        <source>连接方式：</source>
        <translation>Connection: </translation>
    </message>
    <message>
        <source>串口</source>
        <translation>Serial</translation>
    </message>
    <message>
        <source>强制升级</source>
        <translation>Force upgrade</translation>
    </message>
    <message>
        <source>烧写成功后重启设备</source>
        <translation>Reboot after burning</translation>
    </message>
    <message>
        <source>按分区烧写</source>
        <translation>By partition</translation>
    </message>
    <message>
        <source>全选</source>
        <translation>Select all</translation>
    </message>
    <message>
        <source>未发现串口</source>
        <translation>No serial port found</translation>
    </message>
    <message>
        <source>无法打开串口 %1，请确认是否被其他程序占用</source>
        <translation>Cannot open serial port %1; check whether another program is using it</translation>
    </message>
    <message>
        <source>未发现Kelvora设备</source>
        <translation>No Kelvora device found</translation>
    </message>
    <message>
        <source>设备名称：%1
系统类型：%2
CPU类型：%3
内核版本：%4</source>
        <translation>Device name: %1
System: %2
CPU: %3
Kernel: %4</translation>
    </message>
    <message>
        <source>执行失败！</source>
        <translation>Failed!</translation>
    </message>
    <message>
        <source>执行成功！</source>
        <translation>Succeeded!</translation>
    </message>
    <message>
        <source>执行中止！</source>
        <translation>Stopped!</translation>
    </message>
    <message>
        <source>等待设备启动升级服务</source>
        <translation>Waiting for the device to start its upgrade service</translation>
    </message>
    <message>
        <source>等待设备重新连接</source>
        <translation>Waiting for the device to reconnect</translation>
    </message>
    <message>
        <source>开始烧写，请勿断开设备 ...</source>
        <translation>Burning, do not disconnect the device ...</translation>
    </message>
    <message>
        <source>烧写被中止</source>
        <translation>The burn was stopped</translation>
    </message>
    <message>
        <source>Kelvora设备已连接</source>
        <translation>Kelvora device connected</translation>
    </message>
</context>
<context>
    <name>CardTab</name>
    <message>
        <source>格式化SD卡</source>
        <translation>Format SD card</translation>
    </message>
    <message>
        <source>SD卡：</source>
        <translation>SD card: </translation>
    </message>
    <message>
        <source>分区表格式：</source>
        <translation>Partition table: </translation>
    </message>
    <message>
        <source>未发现SD卡</source>
        <translation>No SD card found</translation>
    </message>
    <message>
        <source>SoC型号：</source>
        <translation>SoC: </translation>
    </message>
    <message>
        <source>板级型号：</source>
        <translation>Board: </translation>
    </message>
    <message>
        <source>版本号：</source>
        <translation>Version: </translation>
    </message>
    <message>
        <source>存储介质：</source>
        <translation>Storage: </translation>
    </message>
    <message>
        <source>SD卡中有相同版本的镜像文件</source>
        <translation>The SD card holds the same version of the image</translation>
    </message>
    <message>
        <source>SD卡中有其他版本的镜像文件</source>
        <translation>The SD card holds another version of the image</translation>
    </message>
    <message>
        <source>注意：Kelvora启动卡暂时只支持GPT格式</source>
        <translation>Note: Kelvora boot cards support only GPT for now</translation>
    </message>
    <message>
        <source>SD卡已更换或已拔出，请重新选择SD卡</source>
        <translation>The SD card was changed or removed; choose the SD card again</translation>
    </message>
    <message>
        <source>SD卡处于写保护状态，请关闭写保护开关后重试</source>
        <translation>The SD card is write-protected; turn off its write-protect switch and try again</translation>
    </message>
    <message>
        <source>格式化SD卡会造成数据丢失，请确认是否继续？</source>
        <translation>Formatting the SD card erases its data. Continue?</translation>
    </message>
    <message>
        <source>格式化SD卡的操作需要&quot;以管理员身份运行&quot;</source>
        <translation>Formatting the SD card needs &quot;Run as administrator&quot;</translation>
    </message>
    <message>
        <source>开始格式化SDcard，请勿插拔卡 ...</source>
        <translation>Formatting the SD card, do not remove the card ...</translation>
    </message>
    <message>
        <source>制作启动卡的镜像文件必须是mmc类型！</source>
        <translation>A boot card needs an image of media type mmc!</translation>
    </message>
    <message>
        <source>%1 中现有的数据将丢失，请确认是否继续？</source>
        <translation>The data on %1 will be lost. Continue?</translation>
    </message>
    <message>
        <source>写SD卡的操作需要&quot;以管理员身份运行&quot;</source>
        <translation>Writing the SD card needs &quot;Run as administrator&quot;</translation>
    </message>
    <message>
        <source>开始写入SDcard，请勿插拔卡 ...</source>
        <translation>Writing the SD card, do not remove the card ...</translation>
    </message>
</context>
<context>
    <name>DiskAccessHint</name>
    <message>
        <source>请以root身份运行，或将当前用户加入disk组（重新登录后生效），或为读卡器添加udev规则</source>
        <translation>Run as root, add the current user to the disk group (takes effect after logging in again), or add a udev rule for the card reader</translation>
    </message>
</context>
<context>
    <name>FailureCause</name>
    <message>
        <source>校验和不一致，设备收到的数据与镜像不符</source>
        <translation>Checksum mismatch: the data the device received differs from the image</translation>
    </message>
    <message>
        <source>无法打开镜像文件，文件可能已被移走</source>
        <translation>Cannot open the image file; it may have been moved</translation>
    </message>
    <message>
        <source>镜像文件不完整</source>
        <translation>The image file is incomplete</translation>
    </message>
    <message>
        <source>读取镜像文件失败</source>
        <translation>Failed to read the image file</translation>
    </message>
    <message>
        <source>设备未进入升级模式（adb启动升级服务超时）</source>
        <translation>The device did not enter upgrade mode (adb timed out starting the upgrade service)</translation>
    </message>
    <message>
        <source>无法连接设备</source>
        <translation>Cannot connect to the device</translation>
    </message>
    <message>
        <source>无法打开设备</source>
        <translation>Cannot open the device</translation>
    </message>
    <message>
        <source>设备已断开，未能重新连接</source>
        <translation>The device disconnected and did not reconnect</translation>
    </message>
    <message>
        <source>设备在U-Boot阶段无应答</source>
        <translation>The device did not answer in U-Boot</translation>
    </message>
    <message>
        <source>设备仍在BROM阶段，无法烧写目标分区</source>
        <translation>The device is still in BROM; the target partitions cannot be burnt</translation>
    </message>
    <message>
        <source>设备未返回烧写结果</source>
        <translation>The device returned no burn result</translation>
    </message>
    <message>
        <source>设备未返回校验和</source>
        <translation>The device returned no checksum</translation>
    </message>
    <message>
        <source>设备返回的块大小无效</source>
        <translation>The device returned an invalid block size</translation>
    </message>
    <message>
        <source>内存不足</source>
        <translation>Out of memory</translation>
    </message>
    <message>
        <source>与设备通信失败</source>
        <translation>Communication with the device failed</translation>
    </message>
    <message>
        <source>原因请查看日志</source>
        <translation>See the log for the cause</translation>
    </message>
</context>
<context>
    <name>HostProbeLauncher</name>
    <message>
        <source>程序目录中没有HostProbe</source>
        <translation>HostProbe is not in the program folder</translation>
    </message>
    <message>
        <source>未找到pkexec，无法以管理员权限运行</source>
        <translation>pkexec not found: cannot run with administrator rights</translation>
    </message>
    <message>
        <source>启动失败：</source>
        <translation>Failed to start: </translation>
    </message>
    <message>
        <source>管理员授权已取消</source>
        <translation>Administrator authorization was cancelled</translation>
    </message>
    <message>
        <source>管理员授权被拒绝</source>
        <translation>Administrator authorization was refused</translation>
    </message>
</context>
<context>
    <name>ImgHistoryDialog</name>
    <message>
        <source>历史镜像文件</source>
        <translation>Image history</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>KelFlash</name>
    <message>
        <source>烧写镜像</source>
        <translation>Burn image</translation>
    </message>
    <message>
        <source>制作启动卡</source>
        <translation>Boot card</translation>
    </message>
    <message>
        <source>进度：</source>
        <translation>Progress: </translation>
    </message>
    <message>
        <source>速率：</source>
        <translation>Rate: </translation>
    </message>
    <message>
        <source>用时：</source>
        <translation>Time: </translation>
    </message>
    <message>
        <source>结果：</source>
        <translation>Result: </translation>
    </message>
    <message>
        <source>%1 条记录等待上传</source>
        <translation>%1 records wait for the fleet database</translation>
    </message>
    <message>
        <source>请选择镜像文件...</source>
        <translation>Choose an image file...</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>SoC型号：</source>
        <translation>SoC: </translation>
    </message>
    <message>
        <source>板级型号：</source>
        <translation>Board: </translation>
    </message>
    <message>
        <source>版本号：</source>
        <translation>Version: </translation>
    </message>
    <message>
        <source>存储介质：</source>
        <translation>Storage: </translation>
    </message>
    <message>
        <source>日志</source>
        <translation>Log</translation>
    </message>
    <message>
        <source>无效的镜像文件</source>
        <translation>Invalid image file</translation>
    </message>
    <message>
        <source>打开镜像文件</source>
        <translation>Open image file</translation>
    </message>
    <message>
        <source>镜像文件(*.img)</source>
        <translation>Image files (*.img)</translation>
    </message>
    <message>
        <source>中途停止可能会造成数据丢失和不完整，请确认是否要停止操作？</source>
        <translation>Stopping now may leave data lost or incomplete. Stop anyway?</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>检查环境</source>
        <translation>Check environment</translation>
    </message>
    <message>
        <source>统计</source>
        <translation>Statistics</translation>
    </message>
    <message>
        <source>反馈</source>
        <translation>Feedback</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>无法启动检测工具：</source>
        <translation>Cannot start the checker: </translation>
    </message>
    <message>
        <source>无法打开反馈页面：未找到可用的浏览器</source>
        <translation>Cannot open the feedback page: no web browser found</translation>
    </message>
    <message>
        <source>无法保存设置：设置文件不可写</source>
        <translation>Cannot save the setting: the settings file is not writable</translation>
    </message>
</context>
<context>
    <name>KelLinker</name>
    <message>
        <source>是</source>
        <translation>yes</translation>
    </message>
    <message>
        <source>否</source>
        <translation>no</translation>
    </message>
    <message>
        <source>启动阶段：</source>
        <translation>Boot stage: </translation>
    </message>
    <message>
        <source>安全启动：</source>
        <translation>Secure boot: </translation>
    </message>
    <message>
        <source>Boot加密：</source>
        <translation>Boot encryption: </translation>
    </message>
    <message>
        <source>防回滚：</source>
        <translation>Anti-rollback: </translation>
    </message>
    <message>
        <source>存储介质：</source>
        <translation>Storage: </translation>
    </message>
</context>
<context>
    <name>KelLinkerSerial</name>
    <message>
        <source>UART设备：</source>
        <translation>UART device: </translation>
    </message>
</context>
<context>
    <name>KelLinkerUSB</name>
    <message>
        <source>USB设备：</source>
        <translation>USB device: </translation>
    </message>
</context>
<context>
    <name>KelTab</name>
    <message>
        <source>执行中止！</source>
        <translation>Stopped!</translation>
    </message>
    <message>
        <source>执行失败！</source>
        <translation>Failed!</translation>
    </message>
    <message>
        <source>执行成功！</source>
        <translation>Succeeded!</translation>
    </message>
    <message>
        <source>正在校验镜像文件 ...</source>
        <translation>Checking the image file ...</translation>
    </message>
    <message>
        <source>无法读取镜像文件，镜像校验失败！</source>
        <translation>Cannot read the image file; the image check failed!</translation>
    </message>
    <message>
        <source>镜像文件已损坏：%1 的数据与记录的CRC校验值不符，已拒绝使用！</source>
        <translation>The image file is damaged: the data of %1 does not match its recorded CRC; the image was refused!</translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
</context>
<context>
    <name>SettingDialog</name>
    <message>
        <source>Debug设置</source>
        <translation>Debug settings</translation>
    </message>
    <message>
        <source>自动烧写</source>
        <translation>Auto burn</translation>
    </message>
    <message>
        <source>显示统计按钮</source>
        <translation>Show statistics button</translation>
    </message>
    <message>
        <source>详细日志</source>
        <translation>Verbose log</translation>
    </message>
    <message>
        <source>失败重传次数</source>
        <translation>Retries on failure</translation>
    </message>
    <message>
        <source>烧写后校验</source>
        <translation>Verify after burning</translation>
    </message>
    <message>
        <source>烧写前校验镜像</source>
        <translation>Check image before burning</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
</context>
<context>
    <name>StatisticDialog</name>
    <message>
        <source>烧写统计</source>
        <translation>Burn statistics</translation>
    </message>
    <message>
        <source>日期</source>
        <translation>Date</translation>
    </message>
    <message>
        <source>成功</source>
        <translation>Succeeded</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>总计</source>
        <translation>Total</translation>
    </message>
    <message>
        <source>成功率</source>
        <translation>Success rate</translation>
    </message>
    <message>
        <source>上一页</source>
        <translation>Previous</translation>
    </message>
    <message>
        <source>下一页</source>
        <translation>Next</translation>
    </message>
</context>
</TS>
