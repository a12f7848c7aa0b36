<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>MainWindow</name>
    <message>
        <source>Voxaro 3 Client Update</source>
        <translation>Voxaro 3 Client – Aktualisierung</translation>
    </message>
    <message>
        <source>&lt;small&gt;© 2026 Voxaro. &lt;a href=&quot;https://www.voxaro.net/&quot;&gt;www.voxaro.net&lt;/a&gt;&lt;/small&gt;</source>
        <translation>&lt;small&gt;© 2026 Voxaro. &lt;a href=&quot;https://www.voxaro.net/&quot;&gt;www.voxaro.net&lt;/a&gt;&lt;/small&gt;</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stabil</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Update to Voxaro %1</source>
        <translation>Aktualisierung auf Voxaro %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Sie nutzen den Kanal &lt;strong&gt;%1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Step two: Updating Voxaro client</source>
        <translation>Schritt zwei: Voxaro-Client wird aktualisiert</translation>
    </message>
    <message>
        <source>Step one: Updating updater</source>
        <translation>Schritt eins: Aktualisierungsprogramm wird aktualisiert</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
    <message>
        <source>Unable to start the new updater in %1</source>
        <translation>Der neue Updater in %1 konnte nicht gestartet werden</translation>
    </message>
    <message>
        <source>Step two ended with exit status %1</source>
        <translation>Schritt zwei endete mit dem Status %1</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Aktualisierung abgebrochen. Die Gründe zeigt „Details“.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Klicken, um „%1://%2“ zu öffnen</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Die Aktualisierung läuft.&lt;/p&gt;&lt;p&gt;Wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Could not open file %1 for reading</source>
        <translation>Datei %1 konnte nicht zum Lesen geöffnet werden</translation>
    </message>
    <message>
        <source>could not read file %1 correctly</source>
        <translation>Datei %1 konnte nicht richtig gelesen werden</translation>
    </message>
    <message>
        <source>Signature check failed for %1</source>
        <translation>Signaturprüfung für %1 fehlgeschlagen</translation>
    </message>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Der Aktualisierungsserver lieferte eine ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Die aktuelle Client-Version konnte nicht
vom Aktualisierungsserver abgefragt werden.</translation>
    </message>
    <message>
        <source>Could not create dir &apos;%1&apos; because it already exists and is not a dir</source>
        <translation>Verzeichnis „%1“ konnte nicht angelegt werden, da es bereits als Datei existiert</translation>
    </message>
    <message>
        <source>Could not create dir %1</source>
        <translation>Verzeichnis %1 konnte nicht angelegt werden</translation>
    </message>
    <message>
        <source>unable to create dir %1</source>
        <translation>Verzeichnis %1 kann nicht angelegt werden</translation>
    </message>
    <message>
        <source>No downloads needed</source>
        <translation>Keine Downloads nötig</translation>
    </message>
    <message>
        <source>Downloading files</source>
        <translation>Dateien werden heruntergeladen</translation>
    </message>
    <message>
        <source>Unable to download %1</source>
        <translation>%1 kann nicht heruntergeladen werden</translation>
    </message>
    <message>
        <source>Downloading %1</source>
        <translation>%1 wird heruntergeladen</translation>
    </message>
    <message>
        <source>Unable to create file %1 for saving</source>
        <translation>Datei %1 kann nicht zum Speichern angelegt werden</translation>
    </message>
    <message>
        <source>Download failed to initialize</source>
        <translation>Download konnte nicht gestartet werden</translation>
    </message>
    <message>
        <source>%1 returned %2</source>
        <translation>%1 lieferte %2</translation>
    </message>
    <message>
        <source>Error writing to file %1. Should write %2 bytes but wrote %3 bytes</source>
        <translation>Fehler beim Schreiben von %1: %3 statt %2 Bytes geschrieben</translation>
    </message>
    <message>
        <source>Downloading %1 finished</source>
        <translation>Download von %1 abgeschlossen</translation>
    </message>
    <message>
        <source>file %1 timed out</source>
        <translation>Zeitüberschreitung bei Datei %1</translation>
    </message>
    <message>
        <source>Abort downloading %1</source>
        <translation>Download von %1 abgebrochen</translation>
    </message>
    <message>
        <source>Could not copy &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>„%1“ konnte nicht nach „%2“ kopiert werden</translation>
    </message>
    <message>
        <source>Starting deleting files</source>
        <translation>Dateien werden gelöscht</translation>
    </message>
    <message>
        <source>Could not delete &apos;%1&apos;</source>
        <translation>„%1“ konnte nicht gelöscht werden</translation>
    </message>
    <message>
        <source>Could not rename &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>„%1“ konnte nicht in „%2“ umbenannt werden</translation>
    </message>
    <message>
        <source>Starting file updates</source>
        <translation>Dateien werden aktualisiert</translation>
    </message>
    <message>
        <source>rolling back file updates</source>
        <translation>Dateiänderungen werden zurückgenommen</translation>
    </message>
    <message>
        <source>add/replace %1</source>
        <translation>hinzufügen/ersetzen: %1</translation>
    </message>
    <message>
        <source>Patching %1</source>
        <translation>%1 wird gepatcht</translation>
    </message>
    <message>
        <source>Could not patch &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>„%1“ konnte nicht zu „%2“ gepatcht werden</translation>
    </message>
    <message>
        <source>Could not unpack &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>„%1“ konnte nicht nach „%2“ entpackt werden</translation>
    </message>
    <message>
        <source>Could not unzip &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>„%1“ konnte nicht nach „%2“ entpackt werden</translation>
    </message>
    <message>
        <source>warning: rollback rename %1 to %2 failed</source>
        <translation>Warnung: Rücknahme der Umbenennung von %1 in %2 fehlgeschlagen</translation>
    </message>
    <message>
        <source>warning: rollback create file %1 failed</source>
        <translation>Warnung: Rücknahme der angelegten Datei %1 fehlgeschlagen</translation>
    </message>
    <message>
        <source>warning: rollback create dir %1 failed</source>
        <translation>Warnung: Rücknahme des angelegten Verzeichnisses %1 fehlgeschlagen</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is an invalid proxy specification</source>
        <translation>„%1“ ist keine gültige Proxy-Angabe</translation>
    </message>
    <message>
        <source>Unable to initialize signature checks: %1</source>
        <translation>Signaturprüfung kann nicht vorbereitet werden: %1</translation>
    </message>
    <message>
        <source>Download / check product ini</source>
        <translation>Produkt-INI herunterladen und prüfen</translation>
    </message>
    <message>
        <source>Could not verify the product ini file. Aborting</source>
        <translation>Die Produkt-INI-Datei konnte nicht geprüft werden. Abbruch</translation>
    </message>
    <message>
        <source>Could not verify the product ini file. Retrying</source>
        <translation>Die Produkt-INI-Datei konnte nicht geprüft werden. Neuer Versuch</translation>
    </message>
    <message>
        <source>Next attempt in 1 second</source>
        <translation>Nächster Versuch in 1 Sekunde</translation>
    </message>
    <message>
        <source>Next attempt in %1 seconds</source>
        <translation>Nächster Versuch in %1 Sekunden</translation>
    </message>
    <message>
        <source>Product ini is for version %1, expected version %2</source>
        <translation>Die Produkt-INI gilt für Version %1, erwartet wurde Version %2</translation>
    </message>
    <message>
        <source>Product ini is for product %1, expected product %2</source>
        <translation>Die Produkt-INI gilt für Produkt %1, erwartet wurde Produkt %2</translation>
    </message>
    <message>
        <source>Compiling download and replace list for </source>
        <translation>Download- und Ersetzungsliste wird erstellt für </translation>
    </message>
    <message>
        <source>No files in product ini</source>
        <translation>Keine Dateien in der Produkt-INI</translation>
    </message>
    <message>
        <source>Warning: product ini contains invalid line in section %1</source>
        <translation>Warnung: ungültige Zeile in Abschnitt %1 der Produkt-INI</translation>
    </message>
    <message>
        <source>Previous update session for v. %1 found</source>
        <translation>Frühere Aktualisierung auf v. %1 gefunden</translation>
    </message>
    <message>
        <source>Cleanup previous session (v. %1, %2) files...</source>
        <translation>Dateien der früheren Aktualisierung (v. %1, %2) werden entfernt ...</translation>
    </message>
    <message>
        <source>Update successfully finished</source>
        <translation>Aktualisierung erfolgreich abgeschlossen</translation>
    </message>
    <message>
        <source>User aborted update</source>
        <translation>Aktualisierung vom Benutzer abgebrochen</translation>
    </message>
    <message>
        <source>Removed temporary update.ini</source>
        <translation>Temporäre update.ini entfernt</translation>
    </message>
    <message>
        <source>Remove temporary files...</source>
        <translation>Temporäre Dateien werden entfernt ...</translation>
    </message>
    <message>
        <source>Temporary files removed.</source>
        <translation>Temporäre Dateien entfernt.</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Failed to remove directory</source>
        <translation>Verzeichnis konnte nicht entfernt werden</translation>
    </message>
</context>
</TS>
