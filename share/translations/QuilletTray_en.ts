<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>QObject</name>
    <message>
        <source>AppName</source>
        <translation>Kestrum Quillet</translation>
    </message>
    <message>
        <source>AppVersion</source>
        <translation>Quillet Tray&lt;br&gt;Version %1</translation>
    </message>
    <message>
        <source>GeneralExceptionMessage</source>
        <translation>An unexpected error occurred. Please try again, and contact support if the problem persists.</translation>
    </message>
    <message>
        <source>GeneralError</source>
        <translation>The operation could not be completed.</translation>
    </message>
    <message>
        <source>PortHeldByOtherUser</source>
        <translation>Port %1 is held by a program of user id %2.</translation>
    </message>
    <message>
        <source>PortsHeldByOtherUsers</source>
        <translation>A program of another user of this computer listens on a port that web pages try before the one of Quillet Tray:&lt;br&gt;%1&lt;br&gt;Web pages may reach that program instead of Quillet Tray. Ask the computer's administrator to find and stop it.</translation>
    </message>
    <message>
        <source>Kestrum Quillet is already running on this computer</source>
        <translation>Kestrum Quillet is already running on this computer.</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>&amp;About</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Quit</translation>
    </message>
    <message>
        <source>Quillet</source>
        <translation>Kestrum Quillet</translation>
    </message>
    <message>
        <source>&amp;CheckVersion</source>
        <translation>&amp;Check for updates</translation>
    </message>
    <message>
        <source>SettingsMenu</source>
        <translation>&amp;Settings</translation>
    </message>
    <message>
        <source>Startup</source>
        <translation>Start when I &amp;log in</translation>
    </message>
    <message>
        <source>&amp;DiagTitle</source>
        <translation>&amp;Diagnostics</translation>
    </message>
    <message>
        <source>&amp;LogsOn</source>
        <translation>Turn &amp;logging on</translation>
    </message>
    <message>
        <source>&amp;LogsOff</source>
        <translation>Turn &amp;logging off</translation>
    </message>
    <message>
        <source>&amp;BrowseLogs</source>
        <translation>&amp;Open log folder</translation>
    </message>
    <message>
        <source>&amp;NoLogs</source>
        <translation>There are no logs yet. Turn logging on first.</translation>
    </message>
    <message>
        <source>MsgBoxDetailsShow</source>
        <translation>Show details</translation>
    </message>
    <message>
        <source>MsgBoxDetailsHide</source>
        <translation>Hide details</translation>
    </message>
    <message>
        <source>DownloadingError</source>
        <translation>The update information could not be downloaded. Please check your internet connection.</translation>
    </message>
    <message>
        <source>VerificationFailed</source>
        <translation>The update information could not be verified and was ignored.</translation>
    </message>
    <message>
        <source>ResponseError</source>
        <translation>The update server sent an answer that could not be read.</translation>
    </message>
    <message>
        <source>NewVersion.</source>
        <translation>A new version %1 is available.</translation>
    </message>
</context>
<context>
    <name>MsgBox</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
</TS>
