<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>CheckWorker</name>
    <message>
        <source>请求失败，请检查网络</source>
        <translation>The request failed; check the network</translation>
    </message>
    <message>
        <source>检查失败，服务器应答无效</source>
        <translation>The check failed: the server gave an invalid answer</translation>
    </message>
    <message>
        <source>检查失败，代码：</source>
        <translation>The check failed, code: </translation>
    </message>
</context>
<context>
    <name>KelAbout</name>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>检查更新</source>
        <translation>Check for updates</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>下次启动时生效</source>
        <translation>Takes effect at the next start</translation>
    </message>
    <message>
        <source>语言：</source>
        <translation>Language: </translation>
    </message>
</context>
<context>
    <name>KelDialog</name>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>操作确认</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>KelLogDialog</name>
    <message>
        <source>日志</source>
        <translation>Log</translation>
    </message>
    <message>
        <source>滚动至顶部</source>
        <translation>Scroll to top</translation>
    </message>
    <message>
        <source>滚动至底部</source>
        <translation>Scroll to bottom</translation>
    </message>
    <message>
        <source>打开日志文件</source>
        <translation>Open log file</translation>
    </message>
    <message>
        <source>清空</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>字体大小</source>
        <translation>Font size</translation>
    </message>
    <message>
        <source>没有日志文件</source>
        <translation>There is no log file</translation>
    </message>
    <message>
        <source>无法打开日志文件：未找到可用的程序
</source>
        <translation>Cannot open the log file: no program found to open it
</translation>
    </message>
</context>
<context>
    <name>KelTitleBar</name>
    <message>
        <source>最小化</source>
        <translation>Minimize</translation>
    </message>
    <message>
        <source>最大化</source>
        <translation>Maximize</translation>
    </message>
    <message>
        <source>还原</source>
        <translation>Restore</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>KelVersionTool</name>
    <message>
        <source>未配置版本服务器，无法检查更新</source>
        <translation>No version server is configured; cannot check for updates</translation>
    </message>
    <message>
        <source>正在检查，请稍后...</source>
        <translation>Checking, please wait...</translation>
    </message>
    <message>
        <source>已是最新版本</source>
        <translation>This is the latest version</translation>
    </message>
    <message>
        <source>发现新版本</source>
        <translation>New version available</translation>
    </message>
    <message>
        <source>版本号：</source>
        <translation>Version:</translation>
    </message>
    <message>
        <source>大小：</source>
        <translation>Size:</translation>
    </message>
    <message>
        <source>版本说明：</source>
        <translation>Release notes:</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>下载新版本</source>
        <translation>Download new version</translation>
    </message>
    <message>
        <source>安装</source>
        <translation>Install</translation>
    </message>
    <message>
        <source>打开目录</source>
        <translation>Open folder</translation>
    </message>
    <message>
        <source>服务器提供的文件名无效，已拒绝下载</source>
        <translation>The server gave an invalid file name; the download was refused</translation>
    </message>
    <message>
        <source>文件 %1 已存在，是否覆盖？</source>
        <translation>The file %1 already exists. Overwrite it?</translation>
    </message>
    <message>
        <source>下载失败，请检查网络或下载目录权限</source>
        <translation>The download failed; check the network or the download folder&apos;s permissions</translation>
    </message>
    <message>
        <source>下载失败，服务器未提供文件（状态 %1）</source>
        <translation>The download failed: the server did not provide the file (status %1)</translation>
    </message>
    <message>
        <source>下载的文件大小不符，已删除</source>
        <translation>The downloaded file has the wrong size and was deleted</translation>
    </message>
    <message>
        <source>下载的文件不完整，已删除</source>
        <translation>The downloaded file is incomplete and was deleted</translation>
    </message>
    <message>
        <source>下载的文件校验失败，已删除</source>
        <translation>The downloaded file failed its check and was deleted</translation>
    </message>
</context>
</TS>
