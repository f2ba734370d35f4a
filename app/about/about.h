#pragma once
// TFormAbout: the about box, built in code each time it is shown.

#include "app/about/machineinfo.h"

#include <QIcon>
#include <QString>

#include <array>
#include <functional>

class QDialog;
class TVersionInfo;

// Everything the about box shows.
struct TAboutFacts
{
    QString title; // the application's title
    QIcon icon;
    QString fileVersion;
    QString fileDescription;
    QString legalCopyright;
    std::array<QString, 2> linkTexts; // internet addresses; an empty one is left out
    TMachineInfo machine;
};

// The facts of the running program: its display name and window icon, three texts of
// the version record that `info` read, the program's link texts and the machine's figures.
TAboutFacts ProgramAboutFacts(const TVersionInfo &info);

// The value column: "<memory> KB" and "<count>x <processor> or compatible", memory
// rounded to whole kilobytes and the count taken from its low 8 bits.
QString MachineFiguresText(const TMachineInfo &machine);

// Lays the about box out on an empty dialog for a screen of `ppi` pixels per inch and
// centres it on the screen. The dialog's width is the client width; its parts are named
// TitleLabel, IconLabel, VersionLabel, DescriptionLabel, CopyrightLabel, LinkLabel1,
// LinkLabel2, Bevel, CaptionColumn, ValueColumn and OkButton. A line whose text is
// empty is hidden and takes no room.
void BuildAboutDialog(QDialog &dialog, const TAboutFacts &facts, qreal ppi);

class TFormAbout
{
public:
    using TShowHook = std::function<void(QDialog &dialog)>;

    // Builds the about box of the running program, shows it modally, then destroys it.
    bool ShowAbout();

    // Called with the finished dialog just before it is shown; tests inspect and close it there.
    void setShowHook(TShowHook hook) { m_showHook = std::move(hook); }

private:
    TShowHook m_showHook;
};
