<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>HostChecks</name>
    <message>
        <source>安装规则</source>
        <translation>Install rule</translation>
    </message>
    <message>
        <source>确定安装开发板的udev规则吗？</source>
        <translation>Install the udev rule for development boards?</translation>
    </message>
    <message>
        <source>加入串口组</source>
        <translation>Join serial group</translation>
    </message>
    <message>
        <source>确定将用户加入串口设备所属的组吗？</source>
        <translation>Add the user to the group that owns the serial ports?</translation>
    </message>
    <message>
        <source>忽略开发板和串口</source>
        <translation>Ignore boards and serial ports</translation>
    </message>
    <message>
        <source>确定让ModemManager忽略开发板和常用串口吗？</source>
        <translation>Make ModemManager ignore development boards and common serial ports?</translation>
    </message>
    <message>
        <source>停止并禁用</source>
        <translation>Stop and disable</translation>
    </message>
    <message>
        <source>确定停止并禁用ModemManager吗？</source>
        <translation>Stop and disable ModemManager?</translation>
    </message>
    <message>
        <source>屏蔽这些串口</source>
        <translation>Hide these serial ports</translation>
    </message>
    <message>
        <source>确定让brltty忽略CH340/CH341等串口吗？</source>
        <translation>Make brltty ignore CH340/CH341 and similar serial ports?</translation>
    </message>
    <message>
        <source>调整为16 MB</source>
        <translation>Raise to 16 MB</translation>
    </message>
    <message>
        <source>确定将USB传输内存上限调整为16 MB吗？</source>
        <translation>Raise the USB transfer memory limit to 16 MB?</translation>
    </message>
    <message>
        <source>结束该adb服务</source>
        <translation>End that adb server</translation>
    </message>
    <message>
        <source>确定结束其他用户的adb服务吗？</source>
        <translation>End the other user&apos;s adb server?</translation>
    </message>
    <message>
        <source>安装读卡器规则</source>
        <translation>Install card reader rule</translation>
    </message>
    <message>
        <source>确定安装读卡器的udev规则吗？</source>
        <translation>Install the udev rule for card readers?</translation>
    </message>
    <message>
        <source>未找到</source>
        <translation>Not found: </translation>
    </message>
    <message>
        <source> 执行失败</source>
        <translation> failed</translation>
    </message>
    <message>
        <source>未安装开发板的udev规则，当前用户无法访问开发板</source>
        <translation>The udev rule for development boards is not installed; the current user cannot access the board</translation>
    </message>
    <message>
        <source>当前用户无法访问开发板的设备节点</source>
        <translation>The current user cannot access the board&apos;s device node</translation>
    </message>
    <message>
        <source>规则已安装，重新插拔开发板后生效</source>
        <translation>The rule is installed; it takes effect once the board is plugged in again</translation>
    </message>
    <message>
        <source>用户%1不在串口设备所属的%2组，无法打开串口</source>
        <translation>User %1 is not in group %2, which owns the serial ports, and cannot open them</translation>
    </message>
    <message>
        <source>该组权限过大，请联系管理员处理</source>
        <translation>That group has too many rights; ask your administrator</translation>
    </message>
    <message>
        <source>用户%1已加入%2组，但尚未重新登录</source>
        <translation>User %1 was added to group %2 but has not logged in again</translation>
    </message>
    <message>
        <source>请注销后重新登录</source>
        <translation>Log out and log in again</translation>
    </message>
    <message>
        <source>运行了ModemManager，串口出现后的数秒内会被它占用</source>
        <translation>ModemManager is running; it takes serial ports for several seconds after they appear</translation>
    </message>
    <message>
        <source>brltty（盲文显示器服务）会占用CH340/CH341等串口</source>
        <translation>brltty (the braille display service) takes CH340/CH341 and similar serial ports</translation>
    </message>
    <message>
        <source>USB传输内存上限过小，烧写可能失败</source>
        <translation>The USB transfer memory limit is too small; burning may fail</translation>
    </message>
    <message>
        <source>usbfs_memory_mb为%1 MB，至少需要%2 MB</source>
        <translation>usbfs_memory_mb is %1 MB; at least %2 MB is needed</translation>
    </message>
    <message>
        <source>用户%1</source>
        <translation>user %1</translation>
    </message>
    <message>
        <source>（进程%1）</source>
        <translation> (process %1)</translation>
    </message>
    <message>
        <source>其他用户的adb服务占用了adb端口%1</source>
        <translation>Another user&apos;s adb server holds adb port %1</translation>
    </message>
    <message>
        <source>未找到adb程序，无法连接运行Linux的开发板</source>
        <translation>adb not found; boards running Linux cannot be reached</translation>
    </message>
    <message>
        <source>请安装adb（apt install adb）</source>
        <translation>Install adb (apt install adb)</translation>
    </message>
    <message>
        <source>当前用户无法写入读卡器</source>
        <translation>The current user cannot write to the card reader</translation>
    </message>
    <message>
        <source>不建议加入disk组：它能读写所有磁盘，等同root权限</source>
        <translation>Joining the disk group is not advised: it can read and write every disk, as root can</translation>
    </message>
    <message>
        <source>无法写入%1：无法删除指向%2的链接</source>
        <translation>Cannot write %1: cannot remove the link to %2</translation>
    </message>
    <message>
        <source>无法写入%1：%2</source>
        <translation>Cannot write %1: %2</translation>
    </message>
    <message>
        <source>程序中缺少规则</source>
        <translation>The program lacks the rule </translation>
    </message>
    <message>
        <source>未找到用户%1</source>
        <translation>User %1 not found</translation>
    </message>
    <message>
        <source>串口设备属于%1组，不能自动加入</source>
        <translation>The serial ports belong to group %1, which cannot be joined automatically</translation>
    </message>
    <message>
        <source>已将用户%1加入%2组，请注销后重新登录</source>
        <translation>User %1 was added to group %2; log out and log in again</translation>
    </message>
    <message>
        <source>未找到brltty的udev规则</source>
        <translation>brltty&apos;s udev rule not found</translation>
    </message>
    <message>
        <source>无法修改usbfs_memory_mb：</source>
        <translation>Cannot change usbfs_memory_mb: </translation>
    </message>
    <message>
        <source>adb服务未及时退出，已强制结束</source>
        <translation>The adb server did not exit in time and was killed</translation>
    </message>
    <message>
        <source>无法执行系统命令</source>
        <translation>Cannot run the system command</translation>
    </message>
    <message>
        <source>请重新插拔设备</source>
        <translation>unplug the device and plug it in again</translation>
    </message>
    <message>
        <source>规则已安装，如仍无法访问，</source>
        <translation>The rule is installed; if access still fails, </translation>
    </message>
    <message>
        <source>规则已安装，已插入的串口</source>
        <translation>The rule is installed; for serial ports already plugged in, </translation>
    </message>
    <message>
        <source>已插入的串口</source>
        <translation>For serial ports already plugged in, </translation>
    </message>
    <message>
        <source>规则已安装，如仍无法写入，请重新插入读卡器</source>
        <translation>The rule is installed; if writing still fails, plug the card reader in again</translation>
    </message>
    <message>
        <source>该问题需由服务管理处理</source>
        <translation>This problem is handled by the service manager</translation>
    </message>
</context>
<context>
    <name>HostProbe</name>
    <message>
        <source>PC环境检测工具</source>
        <translation>PC Environment Checker</translation>
    </message>
    <message>
        <source>以下场景将会导致烧写失败</source>
        <translation>These situations make burning fail</translation>
    </message>
    <message>
        <source>1、打开了多个烧写工具，包括镜像烧写工具和ID烧写工具
2、正在运行虚拟机（VMware、VirtualBox等）
3、启动了扫描USB端口的后台服务，如VMware的后台服务VMware USB Arbitration Service
4、没有访问开发板、串口或读卡器的权限，或串口被其他程序占用</source>
        <translation>1. Several burning tools are open, image burners and ID burners included
2. A virtual machine is running (VMware, VirtualBox, etc.)
3. A background service scans the USB ports, such as VMware&apos;s VMware USB Arbitration Service
4. No access to the board, the serial ports or the card reader, or a serial port is used by another program</translation>
    </message>
    <message>
        <source>检测当前PC环境</source>
        <translation>Check this PC</translation>
    </message>
    <message>
        <source>&lt;span style=&quot;color: green;&quot;&gt;PC环境OK&lt;/span&gt;</source>
        <translation>&lt;span style=&quot;color: green;&quot;&gt;This PC is OK&lt;/span&gt;</translation>
    </message>
    <message>
        <source>运行了多个烧写工具:&lt;br/&gt;</source>
        <translation>Several burning tools are running:&lt;br/&gt;</translation>
    </message>
    <message>
        <source>运行了虚拟机:&lt;br/&gt;</source>
        <translation>A virtual machine is running:&lt;br/&gt;</translation>
    </message>
    <message>
        <source>&lt;span style=&quot;color: red;&quot;&gt;无法读取系统服务列表，未能检查扫描USB端口的后台服务&lt;/span&gt;&lt;br/&gt;&lt;br/&gt;</source>
        <translation>&lt;span style=&quot;color: red;&quot;&gt;Cannot read the list of system services; the services that scan USB ports were not checked&lt;/span&gt;&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>运行了扫描USB端口的后台服务:&lt;br/&gt;&lt;span style=&quot;color: blue;&quot;&gt;</source>
        <translation>A background service scans the USB ports:&lt;br/&gt;&lt;span style=&quot;color: blue;&quot;&gt;</translation>
    </message>
    <message>
        <source>&lt;/span&gt;&amp;nbsp;&amp;nbsp;&lt;a href=&quot;#&quot; style=&quot;color: red;&quot;&gt;停止并禁用&lt;/a&gt;&lt;br/&gt;&lt;br/&gt;</source>
        <translation>&lt;/span&gt;&amp;nbsp;&amp;nbsp;&lt;a href=&quot;#&quot; style=&quot;color: red;&quot;&gt;Stop and disable&lt;/a&gt;&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>*其他可能会导致烧写失败的服务:&lt;br/&gt;</source>
        <translation>*Other services that may make burning fail:&lt;br/&gt;</translation>
    </message>
    <message>
        <source>正在停止服务...</source>
        <translation>Stopping the service...</translation>
    </message>
    <message>
        <source>正在处理...</source>
        <translation>Working...</translation>
    </message>
    <message>
        <source>停止失败，停止服务需要管理员权限</source>
        <translation>Stopping failed: stopping a service needs administrator rights</translation>
    </message>
    <message>
        <source>停止失败</source>
        <translation>Stopping failed</translation>
    </message>
    <message>
        <source>处理失败，</source>
        <translation>The fix failed: </translation>
    </message>
    <message>
        <source>确定停止并禁用服务吗？</source>
        <translation>Stop and disable the service?</translation>
    </message>
</context>
</TS>
