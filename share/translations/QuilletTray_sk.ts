<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="sk_SK">
<context>
    <name>QObject</name>
    <message>
        <source>AppName</source>
        <translation>Kestrum Quillet</translation>
    </message>
    <message>
        <source>AppVersion</source>
        <translation>Quillet Tray&lt;br&gt;Verzia %1</translation>
    </message>
    <message>
        <source>GeneralExceptionMessage</source>
        <translation>Nastala neočakávaná chyba. Skúste to znova a ak problém pretrváva, kontaktujte podporu.</translation>
    </message>
    <message>
        <source>GeneralError</source>
        <translation>Operáciu sa nepodarilo dokončiť.</translation>
    </message>
    <message>
        <source>PortHeldByOtherUser</source>
        <translation>Port %1 obsadil program používateľa s ID %2.</translation>
    </message>
    <message>
        <source>PortsHeldByOtherUsers</source>
        <translation>Program iného používateľa tohto počítača počúva na porte, ktorý webové stránky skúšajú skôr ako port aplikácie Quillet Tray:&lt;br&gt;%1&lt;br&gt;Webové stránky sa tak môžu namiesto aplikácie Quillet Tray spojiť s týmto programom. Požiadajte správcu počítača, aby ho našiel a zastavil.</translation>
    </message>
    <message>
        <source>Kestrum Quillet is already running on this computer</source>
        <translation>Kestrum Quillet už na tomto počítači beží.</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>&amp;O aplikácii</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Ukončiť</translation>
    </message>
    <message>
        <source>Quillet</source>
        <translation>Kestrum Quillet</translation>
    </message>
    <message>
        <source>&amp;CheckVersion</source>
        <translation>&amp;Skontrolovať aktualizácie</translation>
    </message>
    <message>
        <source>SettingsMenu</source>
        <translation>&amp;Nastavenia</translation>
    </message>
    <message>
        <source>Startup</source>
        <translation>Spúšťať po &amp;prihlásení</translation>
    </message>
    <message>
        <source>&amp;DiagTitle</source>
        <translation>&amp;Diagnostika</translation>
    </message>
    <message>
        <source>&amp;LogsOn</source>
        <translation>Zapnúť &amp;zaznamenávanie</translation>
    </message>
    <message>
        <source>&amp;LogsOff</source>
        <translation>Vypnúť &amp;zaznamenávanie</translation>
    </message>
    <message>
        <source>&amp;BrowseLogs</source>
        <translation>&amp;Otvoriť priečinok so záznamami</translation>
    </message>
    <message>
        <source>&amp;NoLogs</source>
        <translation>Zatiaľ neexistujú žiadne záznamy. Najprv zapnite zaznamenávanie.</translation>
    </message>
    <message>
        <source>MsgBoxDetailsShow</source>
        <translation>Zobraziť podrobnosti</translation>
    </message>
    <message>
        <source>MsgBoxDetailsHide</source>
        <translation>Skryť podrobnosti</translation>
    </message>
    <message>
        <source>DownloadingError</source>
        <translation>Informácie o aktualizácii sa nepodarilo stiahnuť. Skontrolujte pripojenie na internet.</translation>
    </message>
    <message>
        <source>VerificationFailed</source>
        <translation>Informácie o aktualizácii sa nepodarilo overiť, preto boli ignorované.</translation>
    </message>
    <message>
        <source>ResponseError</source>
        <translation>Server aktualizácií poslal odpoveď, ktorú nebolo možné prečítať.</translation>
    </message>
    <message>
        <source>NewVersion.</source>
        <translation>Je dostupná nová verzia %1.</translation>
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
