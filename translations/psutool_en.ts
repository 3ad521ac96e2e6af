<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>AddressList</name>
    <message>
        <source>无法识别“%1”：请输入地址或地址范围，以逗号分隔，例如 1,5,17 或 1-4,9。</source>
        <translation>Cannot read “%1”: enter addresses or address ranges separated by commas, for example 1,5,17 or 1-4,9.</translation>
    </message>
    <message>
        <source>地址 %1 超出范围：电源地址为 %2 到 %3。</source>
        <translation>Address %1 is out of range: supply addresses are %2 to %3.</translation>
    </message>
    <message>
        <source>地址列表为空：请输入要总览的电源地址，例如 1,5,17 或 1-4,9。</source>
        <translation>The address list is empty: enter the addresses of the supplies to show, for example 1,5,17 or 1-4,9.</translation>
    </message>
    <message>
        <source>地址 %1 重复（在“%2”中）：每个地址只能列一次。</source>
        <translation>Address %1 is listed twice (in “%2”): list each address once.</translation>
    </message>
    <message>
        <source>地址范围“%1”从大到小：请写成 %2-%3。</source>
        <translation>The address range “%1” runs backwards: write it as %2-%3.</translation>
    </message>
</context>
<context>
    <name>AlarmBand</name>
    <message>
        <source>报警下限 %1 高于上限 %2：未设定。</source>
        <translation>The alarm low limit %1 is above the high limit %2: not set.</translation>
    </message>
</context>
<context>
    <name>NetworkTransport</name>
    <message>
        <source>与 %1 的连接在建立过程中被取消。</source>
        <translation>The connection to %1 was cancelled while it was being made.</translation>
    </message>
    <message>
        <source>%1 秒内没有应答</source>
        <translation>no answer within %1 s</translation>
    </message>
    <message>
        <source>无法连接 %1：%2。</source>
        <translation>Cannot connect to %1: %2.</translation>
    </message>
    <message>
        <source>%1 断开了连接</source>
        <translation>%1 closed the connection</translation>
    </message>
    <message>
        <source>与 %1 的连接中断（%2）</source>
        <translation>the connection to %1 broke (%2)</translation>
    </message>
    <message>
        <source>向 %1 发送失败：%2。</source>
        <translation>Sending to %1 failed: %2.</translation>
    </message>
    <message>
        <source>%1 字节的帧不是 Modbus 请求，无法经 %2 发送。</source>
        <translation>A frame of %1 bytes is no Modbus request and cannot be sent over %2.</translation>
    </message>
</context>
<context>
    <name>ReadingRecorder</name>
    <message>
        <source>磁盘已满</source>
        <translation>disk full</translation>
    </message>
    <message>
        <source>磁盘配额已用完</source>
        <translation>disk quota exhausted</translation>
    </message>
    <message>
        <source>只读文件系统</source>
        <translation>read-only file system</translation>
    </message>
    <message>
        <source>没有写入权限</source>
        <translation>no write permission</translation>
    </message>
    <message>
        <source>文件夹不存在</source>
        <translation>folder does not exist</translation>
    </message>
    <message>
        <source>这是一个文件夹</source>
        <translation>this is a folder</translation>
    </message>
    <message>
        <source>输入输出错误（设备可能已被拔出）</source>
        <translation>input/output error (the device may have been unplugged)</translation>
    </message>
    <message>
        <source>设备已不存在</source>
        <translation>the device is gone</translation>
    </message>
</context>
<context>
    <name>SupplyRoster</name>
    <message>
        <source>地址 %1 不在总览中。</source>
        <translation>Address %1 is not in the overview.</translation>
    </message>
</context>
<context>
    <name>TAUTOCAL</name>
    <message>
        <source>合格</source>
        <translation>Pass</translation>
    </message>
    <message>
        <source>条件合格</source>
        <translation>Conditional</translation>
    </message>
    <message>
        <source>不合格</source>
        <translation>Fail</translation>
    </message>
    <message>
        <source>自动校准</source>
        <translation>Automatic Calibration</translation>
    </message>
    <message>
        <source>选择工位文件，填好参数后点“开始”</source>
        <translation>Choose a station file, fill in the settings and press “Start”</translation>
    </message>
    <message>
        <source>校准设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>工位文件（*.toml）</source>
        <translation>station file (*.toml)</translation>
    </message>
    <message>
        <source>选择…</source>
        <translation>Choose…</translation>
    </message>
    <message>
        <source>工位文件：</source>
        <translation>Station file:</translation>
    </message>
    <message>
        <source>电压</source>
        <translation>Voltage</translation>
    </message>
    <message>
        <source>电流</source>
        <translation>Current</translation>
    </message>
    <message>
        <source>仪表地址：</source>
        <translation>Address:</translation>
    </message>
    <message>
        <source>校准量：</source>
        <translation>Calibrate:</translation>
    </message>
    <message>
        <source>校准点数：</source>
        <translation>Points:</translation>
    </message>
    <message>
        <source>每点读数：</source>
        <translation>Readings per point:</translation>
    </message>
    <message>
        <source> 秒</source>
        <translation> s</translation>
    </message>
    <message>
        <source>简单判定</source>
        <translation>Simple acceptance</translation>
    </message>
    <message>
        <source>保护带判定</source>
        <translation>Guarded acceptance</translation>
    </message>
    <message>
        <source>简单判定：测试不确定度比不小于 4 时直接按允差判定，否则加保护带；保护带判定：允差两端各收窄一个扩展不确定度</source>
        <translation>Simple acceptance: judged against the tolerance when the test uncertainty ratio is at least 4, otherwise guarded; guarded acceptance: each limit narrowed by the expanded uncertainty</translation>
    </message>
    <message>
        <source>稳定时间：</source>
        <translation>Settle time:</translation>
    </message>
    <message>
        <source>判定规则：</source>
        <translation>Decision rule:</translation>
    </message>
    <message>
        <source>序列号：</source>
        <translation>Serial number:</translation>
    </message>
    <message>
        <source>操作员：</source>
        <translation>Operator:</translation>
    </message>
    <message>
        <source>如 23.0 ℃</source>
        <translation>e.g. 23.0 °C</translation>
    </message>
    <message>
        <source>如 45 %RH</source>
        <translation>e.g. 45 %RH</translation>
    </message>
    <message>
        <source>温度：</source>
        <translation>Temperature:</translation>
    </message>
    <message>
        <source>湿度：</source>
        <translation>Humidity:</translation>
    </message>
    <message>
        <source>证书目录：</source>
        <translation>Certificate folder:</translation>
    </message>
    <message>
        <source>SQLite 文件，或 postgresql://用户@主机:端口/数据库；填写序列号时记入</source>
        <translation>A SQLite file, or postgresql://user@host:port/database; written when a serial number is given</translation>
    </message>
    <message>
        <source>历史数据库：</source>
        <translation>History database:</translation>
    </message>
    <message>
        <source>过程记录</source>
        <translation>Progress</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>查看证书</source>
        <translation>Open Certificate</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>校准结果</source>
        <translation>Results</translation>
    </message>
    <message>
        <source>选择工位文件</source>
        <translation>Choose a Station File</translation>
    </message>
    <message>
        <source>工位文件 (*.toml);;所有文件 (*)</source>
        <translation>Station files (*.toml);;All files (*)</translation>
    </message>
    <message>
        <source>校准有效期至 %1</source>
        <translation>calibration due %1</translation>
    </message>
    <message>
        <source>未注明校准有效期</source>
        <translation>no calibration due date</translation>
    </message>
    <message>
        <source>%1：%2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>证书目录</source>
        <translation>Certificate Folder</translation>
    </message>
    <message>
        <source>请先选择工位文件</source>
        <translation>Choose a station file first</translation>
    </message>
    <message>
        <source>此工位不能做这次校准：%1</source>
        <translation>This station cannot do this calibration: %1</translation>
    </message>
    <message>
        <source>请先在主窗口选择电源型号</source>
        <translation>Choose the supply model in the main window first</translation>
    </message>
    <message>
        <source>监控正在运行：请先在“%1”窗口（主窗口的“%2”）点“%3”，再开始校准</source>
        <translation>The monitor is running: press “%3” in the “%1” window (“%2” in the main window) first, then start the calibration</translation>
    </message>
    <message>
        <source>典型应用正在运行：请先在“%1”窗口点“%2”停止，再开始校准</source>
        <translation>A sequence is running: stop it with “%2” in the “%1” window first, then start the calibration</translation>
    </message>
    <message>
        <source>地址检测正在运行：请等它结束，再开始校准</source>
        <translation>An address scan is running: wait for it to end, then start the calibration</translation>
    </message>
    <message>
        <source>测试计划正在运行：请等它结束或在“%1”窗口点“%2”，再开始校准</source>
        <translation>A test plan is running: wait for it to end or press “%2” in the “%1” window, then start the calibration</translation>
    </message>
    <message>
        <source>串口未打开：请先在“串行口设置”中选择并打开串口</source>
        <translation>The serial port is not open: choose and open it with “Serial Port” first</translation>
    </message>
    <message>
        <source>校准中…</source>
        <translation>Calibrating…</translation>
    </message>
    <message>
        <source>正在停止：恢复原修正值并关闭输出…</source>
        <translation>Stopping: restoring the correction found and switching the output off…</translation>
    </message>
    <message>
        <source>还没有证书：请先完成一次校准</source>
        <translation>No certificate yet: complete a calibration first</translation>
    </message>
    <message>
        <source>无法打开证书 %1</source>
        <translation>Cannot open the certificate %1</translation>
    </message>
    <message>
        <source>证书：%1</source>
        <translation>Certificate: %1</translation>
    </message>
    <message>
        <source>未填序列号：本次校准未记入历史数据库</source>
        <translation>No serial number: this calibration is not kept in the history database</translation>
    </message>
    <message>
        <source>未能开始：%1</source>
        <translation>Could not start: %1</translation>
    </message>
    <message>
        <source>修正代码 %1 → %2</source>
        <translation>correction code %1 → %2</translation>
    </message>
    <message>
        <source>校准完成：校准后全部合格（%1）</source>
        <translation>Calibrated: every as-left point passes (%1)</translation>
    </message>
    <message>
        <source>校准完成：校准后有点在保护带内，条件合格（%1）</source>
        <translation>Calibrated: an as-left point lies within the guard band, conditional (%1)</translation>
    </message>
    <message>
        <source>校准完成：校准后仍有点不合格（%1）</source>
        <translation>Calibrated: an as-left point still fails (%1)</translation>
    </message>
    <message>
        <source>已停止：新修正代码已写入，校准后数据未测完</source>
        <translation>Stopped: the new correction code is written, the as-left sweep is incomplete</translation>
    </message>
    <message>
        <source>已停止：电源保持原修正代码</source>
        <translation>Stopped: the supply keeps the correction code it had</translation>
    </message>
    <message>
        <source>校准失败（新修正代码已写入）：%1</source>
        <translation>Calibration failed (the new correction code is written): %1</translation>
    </message>
    <message>
        <source>校准失败，未写入新修正值：%1</source>
        <translation>Calibration failed, no new correction written: %1</translation>
    </message>
    <message>
        <source>阶段</source>
        <translation>Sweep</translation>
    </message>
    <message>
        <source>标称值 (%1)</source>
        <translation>Nominal (%1)</translation>
    </message>
    <message>
        <source>参考读数 (%1)</source>
        <translation>Reference (%1)</translation>
    </message>
    <message>
        <source>电源读数 (%1)</source>
        <translation>Supply (%1)</translation>
    </message>
    <message>
        <source>误差 (%1)</source>
        <translation>Error (%1)</translation>
    </message>
    <message>
        <source>允差 ± (%1)</source>
        <translation>Tolerance ± (%1)</translation>
    </message>
    <message>
        <source>U (k=2, %1)</source>
        <translation>U (k=2, %1)</translation>
    </message>
    <message>
        <source>判定</source>
        <translation>Verdict</translation>
    </message>
    <message>
        <source>未测量</source>
        <translation>not measured</translation>
    </message>
    <message>
        <source>校准前</source>
        <translation>As found</translation>
    </message>
    <message>
        <source>校准后</source>
        <translation>As left</translation>
    </message>
    <message>
        <source>电源型号：</source>
        <translation>Supply model:</translation>
    </message>
    <message>
        <source>未选择（请在主窗口选择型号）</source>
        <translation>none (choose a model in the main window)</translation>
    </message>
    <message>
        <source>已过校准有效期 %1</source>
        <translation>past its calibration due date %1</translation>
    </message>
    <message>
        <source>请填写证书目录</source>
        <translation>Enter a certificate folder</translation>
    </message>
</context>
<context>
    <name>TERR</name>
    <message>
        <source>电源误差修正</source>
        <translation>Supply Calibration</translation>
    </message>
    <message>
        <source>电压修正</source>
        <translation>Voltage trim</translation>
    </message>
    <message>
        <source>电流修正</source>
        <translation>Current trim</translation>
    </message>
    <message>
        <source>电压修正值：</source>
        <translation>Voltage trim:</translation>
    </message>
    <message>
        <source>电流修正值：</source>
        <translation>Current trim:</translation>
    </message>
    <message>
        <source>仪表地址：</source>
        <translation>Address:</translation>
    </message>
    <message>
        <source>校  准</source>
        <translation>Calibrate</translation>
    </message>
    <message>
        <source>退  出</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>自动校准…</source>
        <translation>Automatic…</translation>
    </message>
    <message>
        <source>用工位的参考万用表自动求出并写入修正值，出具校准证书</source>
        <translation>Finds and writes the correction against the station’s reference multimeter, and issues a certificate</translation>
    </message>
</context>
<context>
    <name>TFormsReplyView</name>
    <message>
        <source>误差修正成功！</source>
        <translation>Correction accepted!</translation>
    </message>
</context>
<context>
    <name>TMAIN</name>
    <message>
        <source>精密数控电源测试软件</source>
        <translation>Power Supply Tester</translation>
    </message>
    <message>
        <source>串行口设置</source>
        <translation>Serial Port</translation>
    </message>
    <message>
        <source>仪表地址检测</source>
        <translation>Address Scan</translation>
    </message>
    <message>
        <source>仪表型号选择</source>
        <translation>Select Model</translation>
    </message>
    <message>
        <source>参数设置</source>
        <translation>Supply Control</translation>
    </message>
    <message>
        <source>典型应用</source>
        <translation>Sequences</translation>
    </message>
    <message>
        <source>电源误差微调</source>
        <translation>Calibration</translation>
    </message>
    <message>
        <source>退  出</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>精密电源测试工作室</source>
        <translation>Power Supply Test Lab</translation>
    </message>
    <message>
        <source>总览</source>
        <translation>Overview</translation>
    </message>
    <message>
        <source>精密数控电源测试软件</source>
        <comment>the name in title bars</comment>
        <translation>PSU Tester</translation>
    </message>
    <message>
        <source>测试计划</source>
        <translation>Test plan</translation>
    </message>
</context>
<context>
    <name>TMSComm</name>
    <message>
        <source>%1 的网络连接中断：%2。
每秒自动重新连接一次，连接恢复后继续通讯。</source>
        <translation>The network link of %1 is down: %2.
It is connected again every second; communication resumes once it is back.</translation>
    </message>
    <message>
        <source>COM%1（%2）</source>
        <translation>COM%1 (%2)</translation>
    </message>
    <message>
        <source>串口未打开：%1</source>
        <translation>Serial port not open: %1</translation>
    </message>
    <message>
        <source>串口未打开，无法发送数据。请先通过“串行口设置”打开串口。</source>
        <translation>The serial port is not open, so nothing can be sent. Open it first with “Serial Port”.</translation>
    </message>
    <message>
        <source>向 %1 写入数据失败：%2</source>
        <translation>Writing to %1 failed: %2</translation>
    </message>
    <message>
        <source>%1 已经打开。</source>
        <translation>%1 is already open.</translation>
    </message>
    <message>
        <source>串口 COM%1 不存在：系统中没有与之对应的串口设备。</source>
        <translation>Serial port COM%1 does not exist: the system has no serial device for it.</translation>
    </message>
    <message>
        <source>无法打开 %1：端口被其他程序占用或没有访问权限（%2）。</source>
        <translation>Cannot open %1: the port is in use by another program or access is denied (%2).</translation>
    </message>
    <message>
        <source>无法打开 %1：没有访问权限或端口被其他程序占用（%2）。
在 Linux 上，串口设备通常属于 dialout 组：请执行 sudo usermod -aG dialout $USER，然后重新登录。</source>
        <translation>Cannot open %1: access is denied or the port is in use by another program (%2).
On Linux, serial devices usually belong to the dialout group: run sudo usermod -aG dialout $USER, then log in again.</translation>
    </message>
    <message>
        <source>无法打开 %1：设备不存在（%2）。</source>
        <translation>Cannot open %1: the device does not exist (%2).</translation>
    </message>
    <message>
        <source>无法打开 %1：%2</source>
        <translation>Cannot open %1: %2</translation>
    </message>
    <message>
        <source>设备不接受该设置</source>
        <translation>the device refuses this setting</translation>
    </message>
    <message>
        <source>%1 不支持%2（%3）。</source>
        <translation>%1 does not support %2 (%3).</translation>
    </message>
    <message>
        <source>波特率 %1</source>
        <translation>%1 baud</translation>
    </message>
    <message>
        <source>数据位 %1</source>
        <translation>%1 data bits</translation>
    </message>
    <message>
        <source>偶校验</source>
        <translation>even parity</translation>
    </message>
    <message>
        <source>奇校验</source>
        <translation>odd parity</translation>
    </message>
    <message>
        <source>该校验</source>
        <translation>this parity</translation>
    </message>
    <message>
        <source>%1 不支持停止位 1.5：本系统的串口驱动只提供 1 或 2 位停止位。</source>
        <translation>%1 does not support 1.5 stop bits: the serial driver of this system offers 1 or 2 stop bits only.</translation>
    </message>
    <message>
        <source>停止位 %1</source>
        <translation>%1 stop bits</translation>
    </message>
    <message>
        <source>关闭流控</source>
        <translation>flow control off</translation>
    </message>
    <message>
        <source>端口打开时不能更改端口号。</source>
        <translation>The port number cannot be changed while the port is open.</translation>
    </message>
    <message>
        <source>无效的端口号 %1。</source>
        <translation>Invalid port number %1.</translation>
    </message>
    <message>
        <source>无效的串口参数“%1”。</source>
        <translation>Invalid serial settings “%1”.</translation>
    </message>
    <message>
        <source>串口 %1 出错，已关闭：%2。
请检查连接后重新进行串行口设置。</source>
        <translation>Serial port %1 failed and was closed: %2.
Check the connection, then set up the serial port again.</translation>
    </message>
    <message>
        <source>进程 %1</source>
        <translation>process %1</translation>
    </message>
    <message>
        <source>%1（进程 %2）</source>
        <translation>%1 (process %2)</translation>
    </message>
    <message>
        <source>无法打开 %1：网络地址无效（%2）。</source>
        <translation>Cannot open %1: the network address is not valid (%2).</translation>
    </message>
    <message>
        <source>无法打开 %1：本程序不支持网络连接。</source>
        <translation>Cannot open %1: this program has no network links.</translation>
    </message>
    <message>
        <source>%1 在连接过程中已被关闭。</source>
        <translation>%1 was closed while it was connecting.</translation>
    </message>
    <message>
        <source>无法打开 %1：端口正被 %2 使用。</source>
        <translation>Cannot open %1: the port is in use by %2.</translation>
    </message>
</context>
<context>
    <name>TOVERVIEW</name>
    <message>
        <source>通讯中断，总览暂停查询：%1</source>
        <translation>Link down, the overview does not poll: %1</translation>
    </message>
    <message>
        <source>测试工位正在使用串口：总览暂停查询，显示测试工位的读数</source>
        <translation>The station has the serial port: the overview does not poll and shows the station&apos;s readings</translation>
    </message>
    <message>
        <source>“%1”不是数值：报警上下限请填数值或留空。</source>
        <translation>“%1” is not a number: enter the alarm limits as numbers or leave them empty.</translation>
    </message>
    <message>
        <source>点击打开地址 %1 的监控界面和曲线</source>
        <translation>Click to open the monitor and the trend of address %1</translation>
    </message>
    <message>
        <source>地址 %1</source>
        <translation>Address %1</translation>
    </message>
    <message>
        <source>（未选型号）</source>
        <translation>(no model)</translation>
    </message>
    <message>
        <source>报警…</source>
        <translation>Alarm…</translation>
    </message>
    <message>
        <source>%1 W (V×I)</source>
        <translation>%1 W (V×I)</translation>
    </message>
    <message>
        <source>%1 W (读数)</source>
        <translation>%1 W (read)</translation>
    </message>
    <message>
        <source>功率未读取：为电压×电流的计算值</source>
        <translation>Power not read: computed as voltage × current</translation>
    </message>
    <message>
        <source>电源读出的输出功率</source>
        <translation>Output power as read from the supply</translation>
    </message>
    <message>
        <source>设定 %1 V / %2 A</source>
        <translation>Set %1 V / %2 A</translation>
    </message>
    <message>
        <source>输出 开</source>
        <translation>Output ON</translation>
    </message>
    <message>
        <source>输出 关</source>
        <translation>Output OFF</translation>
    </message>
    <message>
        <source>设定 %1 V / %1 A</source>
        <translation>Set %1 V / %1 A</translation>
    </message>
    <message>
        <source>输出 —</source>
        <translation>Output —</translation>
    </message>
    <message>
        <source>无应答（连续 %1 次）</source>
        <translation>No reply (%1 polls)</translation>
    </message>
    <message>
        <source>等待读数</source>
        <translation>Waiting for a reading</translation>
    </message>
    <message>
        <source>请选择型号</source>
        <translation>Choose the model</translation>
    </message>
    <message>
        <source>读数超出 %1 的范围：型号选错了？</source>
        <translation>Reading beyond the %1 range: wrong model?</translation>
    </message>
    <message>
        <source>超出报警范围</source>
        <translation>Outside the alarm band</translation>
    </message>
    <message>
        <source>接近报警界限</source>
        <translation>Near an alarm limit</translation>
    </message>
    <message>
        <source>%1 s 前</source>
        <translation>%1 s ago</translation>
    </message>
    <message>
        <source>总览</source>
        <translation>Overview</translation>
    </message>
    <message>
        <source>电源地址：</source>
        <translation>Supply addresses:</translation>
    </message>
    <message>
        <source>例如 1,5,17 或 1-4,9</source>
        <translation>for example 1,5,17 or 1-4,9</translation>
    </message>
    <message>
        <source>应用</source>
        <translation>Apply</translation>
    </message>
    <message>
        <source>取地址检测结果</source>
        <translation>From Address Scan</translation>
    </message>
    <message>
        <source>报警范围（留空为不设）</source>
        <translation>Alarm band (empty: no limit)</translation>
    </message>
    <message>
        <source>设定报警</source>
        <translation>Set Alarm</translation>
    </message>
    <message>
        <source>清除报警</source>
        <translation>Clear Alarm</translation>
    </message>
    <message>
        <source>电压 (V) 下限</source>
        <translation>Voltage (V) low</translation>
    </message>
    <message>
        <source>上限</source>
        <translation>high</translation>
    </message>
    <message>
        <source>电流 (A) 下限</source>
        <translation>Current (A) low</translation>
    </message>
    <message>
        <source>关 闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>总览已关闭，查询已交还监控界面</source>
        <translation>Overview closed: the polls are back with the monitor</translation>
    </message>
    <message>
        <source>请输入电源地址后按“应用”</source>
        <translation>Enter the supply addresses, then press “Apply”</translation>
    </message>
    <message>
        <source>%1 台电源轮流查询，间隔 %2 ms 起</source>
        <translation>%1 supplies polled in turn, at least %2 ms apart</translation>
    </message>
    <message>
        <source>，上一轮 %1 s</source>
        <translation>; last round %1 s</translation>
    </message>
    <message>
        <source>地址检测还没有找到电源：请先在“仪表地址检测”中检测，或直接输入地址。</source>
        <translation>The address scan has found no supply yet: run “Address Scan” first, or enter the addresses.</translation>
    </message>
    <message>
        <source>请先列出电源，再设定报警范围。</source>
        <translation>List the supplies first, then set the alarm band.</translation>
    </message>
</context>
<context>
    <name>TPLANSTATION</name>
    <message>
        <source>测试计划</source>
        <translation>Test plan</translation>
    </message>
    <message>
        <source>打开计划…</source>
        <translation>Open plan…</translation>
    </message>
    <message>
        <source>选择…</source>
        <translation>Choose…</translation>
    </message>
    <message>
        <source>SQLite 文件，或 postgresql://用户@主机:端口/数据库</source>
        <translation>A SQLite file, or postgresql://user@host:port/database</translation>
    </message>
    <message>
        <source>报告目录</source>
        <translation>Report folder</translation>
    </message>
    <message>
        <source>历史数据库</source>
        <translation>History database</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>中止</source>
        <translation>Abort</translation>
    </message>
    <message>
        <source>打开测试计划</source>
        <translation>Open a test plan</translation>
    </message>
    <message>
        <source>测试计划 (*.toml);;所有文件 (*)</source>
        <translation>Test plans (*.toml);;All files (*)</translation>
    </message>
    <message>
        <source>测试进行中，不能换计划</source>
        <translation>A test is running; the plan cannot be changed</translation>
    </message>
    <message>
        <source>版本 %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>工位：%1</source>
        <translation>Slots: %1</translation>
    </message>
    <message>
        <source>序列号不能为空</source>
        <translation>The serial number is empty</translation>
    </message>
    <message>
        <source>序列号 %1 已用于 %2</source>
        <translation>Serial number %1 is already in %2</translation>
    </message>
    <message>
        <source>请先打开测试计划</source>
        <translation>Open a test plan first</translation>
    </message>
    <message>
        <source>典型应用正在运行：请先停止，再开始测试</source>
        <translation>A sequence is running: stop it, then start the test</translation>
    </message>
    <message>
        <source>地址检测正在运行：请等它结束，再开始测试</source>
        <translation>An address scan is running: wait for its end, then start the test</translation>
    </message>
    <message>
        <source>自动校准正在运行：请等它结束，再开始测试</source>
        <translation>An automatic calibration is running: wait for its end, then start the test</translation>
    </message>
    <message>
        <source>串口未打开：请先在“串行口设置”中选择并打开串口</source>
        <translation>The serial port is not open: choose and open it with “Serial Port” first</translation>
    </message>
    <message>
        <source>测试中…</source>
        <translation>Testing…</translation>
    </message>
    <message>
        <source>正在中止：关闭输出…</source>
        <translation>Aborting: switching the outputs off…</translation>
    </message>
    <message>
        <source>测试结束</source>
        <translation>Test finished</translation>
    </message>
    <message>
        <source>报告：%1</source>
        <translation>Reports: %1</translation>
    </message>
    <message>
        <source>串口未打开</source>
        <translation>Port closed</translation>
    </message>
    <message>
        <source>设定</source>
        <translation>set</translation>
    </message>
    <message>
        <source>斜坡</source>
        <translation>ramp</translation>
    </message>
    <message>
        <source>等待</source>
        <translation>wait</translation>
    </message>
    <message>
        <source>稳定</source>
        <translation>settle</translation>
    </message>
    <message>
        <source>测量</source>
        <translation>measure</translation>
    </message>
    <message>
        <source>循环</source>
        <translation>loop</translation>
    </message>
    <message>
        <source>扫描</source>
        <translation>sweep</translation>
    </message>
    <message>
        <source>曲线</source>
        <translation>profile</translation>
    </message>
    <message>
        <source>保护</source>
        <translation>protection</translation>
    </message>
    <message>
        <source>收尾</source>
        <translation>finally</translation>
    </message>
    <message>
        <source>检查“%1”未通过</source>
        <translation>check “%1” failed</translation>
    </message>
    <message>
        <source>已中止</source>
        <translation>aborted</translation>
    </message>
    <message>
        <source>串口丢失</source>
        <translation>port lost</translation>
    </message>
    <message>
        <source>串口丢失：%1</source>
        <translation>port lost: %1</translation>
    </message>
    <message>
        <source>写入限值之前输出已关闭</source>
        <translation>output was off before the limit was written</translation>
    </message>
    <message>
        <source>%1 s 内保护未动作</source>
        <translation>did not trip within %1 s</translation>
    </message>
    <message>
        <source>步骤“%1”：%2</source>
        <translation>step “%1”: %2</translation>
    </message>
    <message>
        <source>地址 %1：%2 试了 %3 次，无有效应答（%4）</source>
        <translation>address %1: no valid reply to the %2 in %3 tries (%4)</translation>
    </message>
    <message>
        <source>%1 ms 内无应答</source>
        <translation>no reply within %1 ms</translation>
    </message>
    <message>
        <source>地址 %1：%2 被拒绝，异常 %3（%4）</source>
        <translation>address %1: the %2 was refused with exception %3, %4</translation>
    </message>
    <message>
        <source>地址 %1：写入 %4 后 %2 为 %3</source>
        <translation>address %1: %2 holds %3 after the write of %4</translation>
    </message>
    <message>
        <source>%1 %2</source>
        <translation>%1 %2</translation>
    </message>
    <message>
        <source>%1 %2（%3）</source>
        <translation>%1 %2 (%3)</translation>
    </message>
    <message>
        <source>%1：%2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>%1：%2，限值 %3</source>
        <translation>%1: %2, limits %3</translation>
    </message>
    <message>
        <source>查看报告</source>
        <translation>Open Report</translation>
    </message>
    <message>
        <source>监控正在运行：请先在“%1”窗口（主窗口的“%2”）点“%3”，再开始测试</source>
        <translation>The monitor is polling: click “%3” in the “%1” window (“%2” on the main window), then start the test</translation>
    </message>
    <message>
        <source>还没有报告：请先完成一次测试</source>
        <translation>No report yet: run a test first</translation>
    </message>
    <message>
        <source>无法打开报告 %1</source>
        <translation>Cannot open the report %1</translation>
    </message>
    <message>
        <source>无法创建报告目录 %1</source>
        <translation>Cannot create the report folder %1</translation>
    </message>
    <message>
        <source>无法打开报告目录 %1</source>
        <translation>Cannot open the report folder %1</translation>
    </message>
    <message>
        <source>参考仪器…</source>
        <translation>References…</translation>
    </message>
    <message>
        <source>允许使用过期参考仪器</source>
        <translation>Allow expired references</translation>
    </message>
    <message>
        <source>选择工位文件</source>
        <translation>Choose the station file</translation>
    </message>
    <message>
        <source>工位文件 (*.toml);;所有文件 (*)</source>
        <translation>Station files (*.toml);;All files (*)</translation>
    </message>
    <message>
        <source>测试进行中，不能换工位文件</source>
        <translation>A test is running: the station file cannot be changed</translation>
    </message>
    <message>
        <source>计划使用参考仪器（%1）：请先点“参考仪器…”选择工位文件</source>
        <translation>The plan uses reference instruments (%1): choose their station file with “References…” first</translation>
    </message>
    <message>
        <source>%1：参考仪器“%2”的校准已于 %3 到期（勾选“允许使用过期参考仪器”可照常测试）</source>
        <translation>%1: reference “%2” was due for calibration on %3 (tick “Allow expired references” to test all the same)</translation>
    </message>
    <message>
        <source>%1：计划使用的参考仪器“%2”不在工位文件中</source>
        <translation>%1: the plan uses reference “%2”, which the station file does not declare</translation>
    </message>
    <message>
        <source>%1：参考仪器“%2”是 %3，计划把它当作 %4 使用</source>
        <translation>%1: reference “%2” is a %3; the plan uses it as a %4</translation>
    </message>
    <message>
        <source>参考仪器“%1”：%2</source>
        <translation>reference “%1”: %2</translation>
    </message>
    <message>
        <source>参考仪器：未选择工位文件</source>
        <translation>References: no station file chosen</translation>
    </message>
    <message>
        <source>校准到期 %1</source>
        <translation>calibration due %1</translation>
    </message>
    <message>
        <source>未给出校准到期日</source>
        <translation>no calibration due date given</translation>
    </message>
    <message>
        <source>%1（%2）：%3</source>
        <translation>%1 (%2): %3</translation>
    </message>
    <message>
        <source>%1：%2，%3</source>
        <translation>%1: %2, %3</translation>
    </message>
    <message>
        <source>，已过期</source>
        <translation>, EXPIRED</translation>
    </message>
    <message>
        <source>参考仪器（%1）：%2</source>
        <translation>References (%1): %2</translation>
    </message>
</context>
<context>
    <name>TPOWER_TEST</name>
    <message>
        <source>通讯中断：显示的是最后收到的读数。
%1</source>
        <translation>Link down: these are the last readings received.
%1</translation>
    </message>
    <message>
        <source>电源测试</source>
        <translation>Supply Test</translation>
    </message>
    <message>
        <source>输出监测</source>
        <translation>Output Monitor</translation>
    </message>
    <message>
        <source>输出监测启动</source>
        <translation>Start Monitor</translation>
    </message>
    <message>
        <source>通讯与控制</source>
        <translation>Address and Control</translation>
    </message>
    <message>
        <source>仪表地址</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>新地址</source>
        <translation>New address</translation>
    </message>
    <message>
        <source>通讯地址设定</source>
        <translation>Set Address</translation>
    </message>
    <message>
        <source>输出启动</source>
        <translation>Output On</translation>
    </message>
    <message>
        <source>按键锁定</source>
        <translation>Lock Keys</translation>
    </message>
    <message>
        <source>电压电流设定</source>
        <translation>Voltage and Current</translation>
    </message>
    <message>
        <source>设定电压</source>
        <translation>Set Voltage</translation>
    </message>
    <message>
        <source>过压设定</source>
        <translation>Set OVP</translation>
    </message>
    <message>
        <source>电流设定</source>
        <translation>Set Current</translation>
    </message>
    <message>
        <source>过流设定</source>
        <translation>Set OCP</translation>
    </message>
    <message>
        <source>功率调节</source>
        <translation>Power</translation>
    </message>
    <message>
        <source>功率设置</source>
        <translation>Set Power</translation>
    </message>
    <message>
        <source>读输出功率</source>
        <translation>Read Power</translation>
    </message>
    <message>
        <source>功率控制启动</source>
        <translation>Constant Power On</translation>
    </message>
    <message>
        <source>PID停止</source>
        <translation>PID Stop</translation>
    </message>
    <message>
        <source>PID启动</source>
        <translation>PID Start</translation>
    </message>
    <message>
        <source>返 回</source>
        <translation>Back</translation>
    </message>
    <message>
        <source>%1可调电源监控界面</source>
        <translation>%1 Supply Monitor</translation>
    </message>
    <message>
        <source>数据设定OK!</source>
        <translation>Setting OK!</translation>
    </message>
    <message>
        <source>输出监测停止</source>
        <translation>Stop Monitor</translation>
    </message>
    <message>
        <source>电源启动</source>
        <translation>Output On</translation>
    </message>
    <message>
        <source>电源停止</source>
        <translation>Output Off</translation>
    </message>
    <message>
        <source>按键解锁</source>
        <translation>Unlock Keys</translation>
    </message>
    <message>
        <source>功率控制停止</source>
        <translation>Constant Power Off</translation>
    </message>
    <message>
        <source>曲线</source>
        <translation>Trend</translation>
    </message>
    <message>
        <source>记录</source>
        <translation>Record</translation>
    </message>
    <message>
        <source>停止记录</source>
        <translation>Stop recording</translation>
    </message>
    <message>
        <source>上次查询无应答：显示的是最后收到的读数</source>
        <translation>No reply to the last poll: these are the last readings received</translation>
    </message>
</context>
<context>
    <name>TPlanTile</name>
    <message>
        <source>%1 · 地址 %2 · %3</source>
        <translation>%1 · address %2 · %3</translation>
    </message>
    <message>
        <source>扫描或输入序列号</source>
        <translation>Scan or type the serial number</translation>
    </message>
    <message>
        <source>测试中</source>
        <translation>TESTING</translation>
    </message>
</context>
<context>
    <name>TRS232</name>
    <message>
        <source>请选择%1。</source>
        <translation>Please choose the %1.</translation>
    </message>
    <message>
        <source>通讯设置</source>
        <translation>Serial Settings</translation>
    </message>
    <message>
        <source>通讯端口设置</source>
        <translation>Serial Port</translation>
    </message>
    <message>
        <source>无</source>
        <translation>None</translation>
    </message>
    <message>
        <source>奇校验</source>
        <translation>Odd</translation>
    </message>
    <message>
        <source>偶校验</source>
        <translation>Even</translation>
    </message>
    <message>
        <source>通讯口：</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>波特率：</source>
        <translation>Baud rate:</translation>
    </message>
    <message>
        <source>停止位：</source>
        <translation>Stop bits:</translation>
    </message>
    <message>
        <source>数据位：</source>
        <translation>Data bits:</translation>
    </message>
    <message>
        <source>校验位：</source>
        <translation>Parity:</translation>
    </message>
    <message>
        <source>确  定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>返  回</source>
        <translation>Back</translation>
    </message>
    <message>
        <source>（无对应设备）</source>
        <translation>(no device)</translation>
    </message>
    <message>
        <source>设备：%1</source>
        <translation>Device: %1</translation>
    </message>
    <message>
        <source>校验位</source>
        <translation>parity</translation>
    </message>
    <message>
        <source>波特率</source>
        <translation>baud rate</translation>
    </message>
    <message>
        <source>数据位</source>
        <translation>data bits</translation>
    </message>
    <message>
        <source>停止位</source>
        <translation>stop bits</translation>
    </message>
    <message>
        <source>通讯口</source>
        <translation>port</translation>
    </message>
    <message>
        <source>串口初始化成功！</source>
        <translation>Serial port opened!</translation>
    </message>
</context>
<context>
    <name>TRSADDERS</name>
    <message>
        <source>通讯地址查询</source>
        <translation>Address Scan</translation>
    </message>
    <message>
        <source>地址检测范围</source>
        <translation>Scan Range</translation>
    </message>
    <message>
        <source>起始地址：</source>
        <translation>First address:</translation>
    </message>
    <message>
        <source>结束地址：</source>
        <translation>Last address:</translation>
    </message>
    <message>
        <source>检测结果：</source>
        <translation>Found:</translation>
    </message>
    <message>
        <source>启  动</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停  止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>返  回</source>
        <translation>Back</translation>
    </message>
    <message>
        <source>仪表起始地址错误！！</source>
        <translation>The first address is above the last!</translation>
    </message>
    <message>
        <source>仪表地址检测结束！！</source>
        <translation>Address scan finished!</translation>
    </message>
</context>
<context>
    <name>TTREND</name>
    <message>
        <source>曲线</source>
        <translation>Trend</translation>
    </message>
    <message>
        <source>时间范围</source>
        <translation>Time span</translation>
    </message>
    <message>
        <source>1 分钟</source>
        <translation>1 min</translation>
    </message>
    <message>
        <source>10 分钟</source>
        <translation>10 min</translation>
    </message>
    <message>
        <source>1 小时</source>
        <translation>1 hour</translation>
    </message>
    <message>
        <source>全部</source>
        <translation>All</translation>
    </message>
    <message>
        <source>跟随最新</source>
        <translation>Follow latest</translation>
    </message>
    <message>
        <source>拖动或滚轮缩放后停止跟随，点击此按钮恢复</source>
        <translation>Dragging or wheel-zooming stops following; click this button to resume</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>导出图片</source>
        <translation>Export image</translation>
    </message>
    <message>
        <source>开始记录</source>
        <translation>Start recording</translation>
    </message>
    <message>
        <source>电压 (V)</source>
        <translation>Voltage (V)</translation>
    </message>
    <message>
        <source>电流 (A)</source>
        <translation>Current (A)</translation>
    </message>
    <message>
        <source>功率 (W)</source>
        <translation>Power (W)</translation>
    </message>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>地址 %1 · %2 · %3 起</source>
        <translation>Address %1 · %2 · from %3</translation>
    </message>
    <message>
        <source>PNG 图片 (*.png)</source>
        <translation>PNG images (*.png)</translation>
    </message>
    <message>
        <source>无法保存图片 %1。</source>
        <translation>Cannot save the image %1.</translation>
    </message>
    <message>
        <source>记录到文件（已有文件将在末尾续写）</source>
        <translation>Record to file (an existing file is appended to)</translation>
    </message>
    <message>
        <source>CSV 文件 (*.csv)</source>
        <translation>CSV files (*.csv)</translation>
    </message>
    <message>
        <source>无法打开记录文件 %1：%2。未开始记录。</source>
        <translation>Cannot open the record file %1: %2. Recording not started.</translation>
    </message>
    <message>
        <source>记录已停止：写入文件 %1 失败（%2）。已写入的行仍在文件中，监测继续进行。</source>
        <translation>Recording stopped: writing to %1 failed (%2). The rows already written remain in the file; monitoring continues.</translation>
    </message>
    <message>
        <source>停止记录</source>
        <translation>Stop recording</translation>
    </message>
    <message>
        <source>正在记录：%1 · 已写入 %2 行</source>
        <translation>Recording: %1 · %2 rows written</translation>
    </message>
    <message>
        <source>记录已停止：%1 · 共写入 %2 行</source>
        <translation>Recording stopped: %1 · %2 rows written in all</translation>
    </message>
    <message>
        <source>未在记录</source>
        <translation>Not recording</translation>
    </message>
    <message>
        <source>导出 CSV</source>
        <translation>Export CSV</translation>
    </message>
    <message>
        <source>将可见时间范围内显示的曲线的读数导出为 CSV 文件</source>
        <translation>Export the readings of the shown traces in the visible time range to a CSV file</translation>
    </message>
    <message>
        <source>游标</source>
        <translation>Cursors</translation>
    </message>
    <message>
        <source>两条游标可用鼠标拖动，显示两者之间的时间差、电压差和电流差</source>
        <translation>Two cursors, dragged with the mouse, show the differences of time, voltage and current between them</translation>
    </message>
    <message>
        <source>将鼠标移到曲线上可读出该时刻的数值；单击图例项可显示或隐藏该曲线</source>
        <translation>Move the mouse over the plot to read the values at that time; click a legend entry to show or hide it</translation>
    </message>
    <message>
        <source>自动</source>
        <translation>Auto</translation>
    </message>
    <message>
        <source>设定值（虚线）</source>
        <translation>Setpoint (dashed)</translation>
    </message>
    <message>
        <source>功率 = 电压 × 电流（计算）</source>
        <translation>Power = voltage × current (calculated)</translation>
    </message>
    <message>
        <source>功率（读取值，圆点）</source>
        <translation>Power as read (dots)</translation>
    </message>
    <message>
        <source>输出关闭（阴影）</source>
        <translation>Output off (shaded)</translation>
    </message>
    <message>
        <source>已导出到 %1</source>
        <translation>Exported to %1</translation>
    </message>
    <message>
        <source>无法导出到文件 %1：%2。</source>
        <translation>Cannot export to file %1: %2.</translation>
    </message>
    <message>
        <source>下限须小于上限，数值范围未改变</source>
        <translation>The lower limit must be below the upper; the range is unchanged</translation>
    </message>
    <message>
        <source>游标 A %1  B %2</source>
        <translation>Cursor A %1  B %2</translation>
    </message>
    <message>
        <source>Δt %1 s</source>
        <translation>Δt %1 s</translation>
    </message>
    <message>
        <source>地址 %1 %2：ΔV %3 V  ΔI %4 A</source>
        <translation>Address %1 %2: ΔV %3 V  ΔI %4 A</translation>
    </message>
    <message>
        <source>可见范围：最小 / 最大 / 平均</source>
        <translation>In view: min / max / mean</translation>
    </message>
    <message>
        <source>地址 %1 %2（%3 个读数）</source>
        <translation>Address %1 %2 (%3 readings)</translation>
    </message>
    <message>
        <source>（计算）</source>
        <translation> (calculated)</translation>
    </message>
    <message>
        <source>（部分计算）</source>
        <translation> (partly calculated)</translation>
    </message>
    <message>
        <source>（无读数）</source>
        <translation>(no readings)</translation>
    </message>
    <message>
        <source>%1 W（读取）</source>
        <translation>%1 W (read)</translation>
    </message>
    <message>
        <source>%1 W（计算）</source>
        <translation>%1 W (calculated)</translation>
    </message>
    <message>
        <source>地址 %1 %2：%3 V  %4 A  %5  设定 %6 V / %7 A  %8</source>
        <translation>Address %1 %2: %3 V  %4 A  %5  set %6 V / %7 A  %8</translation>
    </message>
    <message>
        <source>输出开</source>
        <translation>output on</translation>
    </message>
    <message>
        <source>输出关</source>
        <translation>output off</translation>
    </message>
    <message>
        <source>数值范围</source>
        <translation>Value ranges</translation>
    </message>
</context>
<context>
    <name>TTYP</name>
    <message>
        <source>典型应用</source>
        <translation>Sequences</translation>
    </message>
    <message>
        <source>步骤选择</source>
        <translation>Step</translation>
    </message>
    <message>
        <source>电压设定</source>
        <translation>Voltage</translation>
    </message>
    <message>
        <source>电流设定</source>
        <translation>Current</translation>
    </message>
    <message>
        <source>输出时间设定</source>
        <translation>Duration</translation>
    </message>
    <message>
        <source>秒</source>
        <translation>s</translation>
    </message>
    <message>
        <source>地址</source>
        <translation>Addr</translation>
    </message>
    <message>
        <source>循环次数：</source>
        <translation>Cycles:</translation>
    </message>
    <message>
        <source>启  动</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>返  回</source>
        <translation>Back</translation>
    </message>
    <message>
        <source>停 止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>启 动</source>
        <translation>Start</translation>
    </message>
</context>
</TS>
