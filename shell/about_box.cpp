#include "shell/about_box.h"

#include <QFontMetrics>
#include <QLabel>
#include <algorithm>

#include "shell/desktop_integration.h"

namespace kestrel {

namespace {

constexpr const char* kCaption = "Kestrelのﾊﾞｰｼﾞｮﾝ情報";
constexpr const char* kNotice = "Copyright (C) 2026 Brightfold";
constexpr const char* kHomePageLabel = "ﾎｰﾑﾍﾟｰｼﾞ";
constexpr const char* kFeedbackLabel = "ﾊﾞｸﾞ報告等";
constexpr const char* kDialogFontFamily = "ＭＳ Ｐゴシック";
constexpr int kDialogFontPoints = 9;
// The application icon is drawn at the system's large icon size.
constexpr int kIconPixels = 32;

}  // namespace

QString AboutVersionText(int major, int minor, int patch) {
    QString text =
        QStringLiteral("Kestrel Version %1.%2").arg(major).arg(minor, 2, 10, QLatin1Char('0'));
    if (patch > 0)
        text += QStringLiteral(".%1").arg(patch);
    return text;
}

CAboutBox::CAboutBox(QWidget* parent, CLinkLabel::UrlOpener opener) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(kCaption));
    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    QFont dialogFont(QString::fromUtf8(kDialogFontFamily));
    dialogFont.setPointSize(kDialogFontPoints);
    setFont(dialogFont);

    // Dialog units from the font's average letter width and its height.
    const QFontMetrics metrics(dialogFont);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (letters / 26 + 1) / 2;
    m_baseY = metrics.height();

    m_icon = new QLabel(this);
    m_icon->setPixmap(ApplicationIcon().pixmap(kIconPixels, kIconPixels));
    const QRect iconPlace = FromUnits(11, 17, 20, 20);
    m_icon->setGeometry(QRect(iconPlace.topLeft(), QSize(kIconPixels, kIconPixels)));

    AddLabel(AboutVersionText(KESTREL_VERSION_MAJOR, KESTREL_VERSION_MINOR, KESTREL_VERSION_PATCH),
             40, 10, 119, 8);
    AddLabel(QString::fromUtf8(kNotice), 40, 25, 119, 8);
    AddLabel(QString::fromUtf8(kHomePageLabel), 40, 41, 31, 8);
    AddLabel(QString::fromUtf8(kFeedbackLabel), 40, 56, 33, 8);

    m_homePageLink = new CLinkLabel(this);
    m_homePageLink->setObjectName(QStringLiteral("link%1").arg(kHomePageLinkId));
    m_homePageLink->setText(QString::fromUtf8(kHomePageAddress));
    m_homePageLink->setGeometry(FromUnits(77, 41, 79, 8));

    // The mail address is no URL by itself: its target is given here.
    m_mailLink = new CLinkLabel(this);
    m_mailLink->setObjectName(QStringLiteral("link%1").arg(kMailLinkId));
    m_mailLink->SetTarget(QStringLiteral("mailto:") + QString::fromUtf8(kFeedbackAddress));
    m_mailLink->setText(QString::fromUtf8(kFeedbackAddress));
    m_mailLink->setGeometry(FromUnits(77, 56, 78, 8));

    // The links hug their texts, so they react only over the text; an
    // address longer than its place widens the box, keeping the margin on
    // the right.
    int width = FromUnits(0, 0, kWidthUnits, 0).width();
    const int margin = FromUnits(0, 0, kWidthUnits - kLinkRightUnits, 0).width();
    for (CLinkLabel* link : {m_homePageLink, m_mailLink}) {
        if (opener)
            link->SetUrlOpener(opener);
        link->Attach();
        link->resize(link->sizeHint().width(), link->height());
        width = std::max(width, link->geometry().right() + 1 + margin);
    }
    setFixedSize(width, FromUnits(0, 0, 0, kHeightUnits).height());
}

QRect CAboutBox::FromUnits(int x, int y, int width, int height) const {
    return QRect(x * m_baseX / 4, y * m_baseY / 8, width * m_baseX / 4, height * m_baseY / 8);
}

QLabel* CAboutBox::AddLabel(const QString& text, int x, int y, int width, int height) {
    auto* label = new QLabel(text, this);
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(FromUnits(x, y, width, height));
    return label;
}

}  // namespace kestrel
