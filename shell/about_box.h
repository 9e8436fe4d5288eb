// The about box: the program's icon, name and version, the maker's notice,
// and links to the home page and the feedback mail address.
#pragma once

#include <QDialog>
#include <QString>

#include "shell/link_label.h"

class QLabel;

namespace kestrel {

inline constexpr const char* kHomePageAddress = "https://kestrel.brightfold.org/";
inline constexpr const char* kFeedbackAddress = "kestrel-feedback@brightfold.org";

// "Kestrel Version 1.00" for version 1.0.0: the minor number in two digits,
// the patch number only when there is one.
QString AboutVersionText(int major, int minor, int patch);

class CAboutBox : public QDialog {
    Q_OBJECT
public:
    static constexpr int kHomePageLinkId = 1007;
    static constexpr int kMailLinkId = 1008;
    // Size of the box in dialog units (a quarter of the font's average
    // character width across, an eighth of its height down).
    static constexpr int kWidthUnits = 166;
    static constexpr int kHeightUnits = 73;
    // Right edge of the home page link's place.
    static constexpr int kLinkRightUnits = 156;

    // `opener` stands in for the desktop when the links are clicked (tests).
    explicit CAboutBox(QWidget* parent = nullptr, CLinkLabel::UrlOpener opener = {});

    CLinkLabel* HomePageLink() const { return m_homePageLink; }
    CLinkLabel* MailLink() const { return m_mailLink; }
    QLabel* IconLabel() const { return m_icon; }

private:
    // A label at a place given in dialog units.
    QLabel* AddLabel(const QString& text, int x, int y, int width, int height);
    QRect FromUnits(int x, int y, int width, int height) const;

    int m_baseX = 0;
    int m_baseY = 0;
    QLabel* m_icon = nullptr;
    CLinkLabel* m_mailLink = nullptr;
    CLinkLabel* m_homePageLink = nullptr;
};

}  // namespace kestrel
