; The Windows installer, made on Linux with Debian's makensis by
; scripts/windows.sh:
;   makensis -DVERSION=2.0.2 -DSTAGE=<folder> -DREMOVE=<list> -DOUTFILE=<exe> qd1600.nsi
; STAGE holds the program folder as it is installed; REMOVE is the list of
; its files and folders for the uninstaller, made from the same folder, so
; that uninstalling removes exactly what was installed.
;
; Silent with /S; another folder with /D=C:\Some\Folder (last, unquoted).

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "LogicLib.nsh"

!define PRODUCT "QD1600 Evaluation Software"
!define REGKEY "Software\QD1600"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QD1600"
; Where QD1600(version2) loads its link library, exactly as the program
; names it: the board maker's installer puts its own library there.
!define LINK2_FOLDER "C:\Program Files\Quensor\USB Drivers"
!define LINK2 "${LINK2_FOLDER}\QNS_CYUSB_USB4.dll"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; The 32-bit programs belong in Program Files all the same: nothing in them
; is redirected, and the maker's library has its fixed path there too.
InstallDir "$PROGRAMFILES64\QD1600"
InstallDirRegKey HKLM "${REGKEY}" "InstallDir"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "QD1600 developers"
VIAddVersionKey "LegalCopyright" "Copyright (c) the QD1600 developers, MIT licence"

!define MUI_ICON "${STAGE}\qd1600.ico"
!define MUI_UNICON "${STAGE}\qd1600.ico"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; $0: "<time high> <time low> <size>" of the file at $1, which tells a file
; from one put in its place later.
Function FileStamp
    GetFileTime "$1" $2 $3
    FileOpen $4 "$1" r
    FileSeek $4 0 END $5
    FileClose $4
    StrCpy $0 "$2 $3 $5"
FunctionEnd

Function un.FileStamp
    GetFileTime "$1" $2 $3
    FileOpen $4 "$1" r
    FileSeek $4 0 END $5
    FileClose $4
    StrCpy $0 "$2 $3 $5"
FunctionEnd

Section "Programs"
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File /r "${STAGE}\*.*"
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    CreateDirectory "$SMPROGRAMS\QD1600"
    CreateShortcut "$SMPROGRAMS\QD1600\QD1600.lnk" "$INSTDIR\QD1600.exe"
    CreateShortcut "$SMPROGRAMS\QD1600\QD1600 (version 2).lnk" "$INSTDIR\QD1600(version2).exe"
    CreateShortcut "$SMPROGRAMS\QD1600\QD1600 Bench.lnk" "$INSTDIR\QD1600Bench.exe"
    CreateShortcut "$SMPROGRAMS\QD1600\Uninstall QD1600.lnk" "$INSTDIR\Uninstall.exe"

    ; Our library at the maker's path only where there is none, or where the
    ; one there is still the one we put (an update replaces it): the maker's
    ; is never replaced. Its stamp tells whether it is still ours.
    StrCpy $7 "ours"
    ${If} ${FileExists} "${LINK2}"
        StrCpy $7 "theirs"
        ReadRegStr $6 HKLM "${REGKEY}" "Link2Stamp"
        StrCpy $1 "${LINK2}"
        Call FileStamp
        ${If} $6 != ""
        ${AndIf} $0 == $6
            StrCpy $7 "ours"
        ${EndIf}
    ${EndIf}
    ${If} $7 == "ours"
        CreateDirectory "${LINK2_FOLDER}"
        CopyFiles /SILENT "$INSTDIR\QNS_CYUSB_USB4.dll" "${LINK2}"
        StrCpy $1 "${LINK2}"
        Call FileStamp
        WriteRegStr HKLM "${REGKEY}" "Link2Stamp" "$0"
    ${EndIf}

    WriteRegStr HKLM "${REGKEY}" "InstallDir" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "QD1600 developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\QD1600.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    ; The library at the maker's path goes only while it is the one we put
    ; there.
    ReadRegStr $6 HKLM "${REGKEY}" "Link2Stamp"
    ${If} $6 != ""
    ${AndIf} ${FileExists} "${LINK2}"
        StrCpy $1 "${LINK2}"
        Call un.FileStamp
        ${If} $0 == $6
            Delete "${LINK2}"
            RMDir "${LINK2_FOLDER}"
            RMDir "C:\Program Files\Quensor"
        ${EndIf}
    ${EndIf}

    Delete "$SMPROGRAMS\QD1600\QD1600.lnk"
    Delete "$SMPROGRAMS\QD1600\QD1600 (version 2).lnk"
    Delete "$SMPROGRAMS\QD1600\QD1600 Bench.lnk"
    Delete "$SMPROGRAMS\QD1600\Uninstall QD1600.lnk"
    RMDir "$SMPROGRAMS\QD1600"

    ; Exactly what was installed, then the folder if nothing else is left.
    !include "${REMOVE}"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"

    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "${REGKEY}"
SectionEnd
