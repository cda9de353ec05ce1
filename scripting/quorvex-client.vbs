' A late-bound client of the Quorvex plug-in: creates it by ProgID and calls
' its methods by name through IDispatch, as a script host or an automation
' client does.
'   cscript //nologo quorvex-client.vbs
' Prints "done" as its last line: a script runtime error ends the script
' silently, so a missing "done" means the script failed.
Option Explicit

Dim plugin, count, i, text, rc
Set plugin = CreateObject("Quorvex.SmartCard")

count = plugin.GetDeviceCount("", "")
WScript.Echo "readers: " & count
For i = 0 To count - 1
    WScript.Echo "  [" & i & "] " & plugin.GetDeviceID(i)
Next

rc = plugin.OpenDevice("")
WScript.Echo "OpenDevice(""""): " & rc

rc = plugin.GetStatusString(&H20CC, text)
WScript.Echo "GetStatusString(0x20CC): " & rc & " " & text

rc = plugin.EndCapture()
WScript.Echo "EndCapture: " & rc

Set plugin = Nothing
WScript.Echo "done"
