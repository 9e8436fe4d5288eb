// The three kinds of document, each naming its menu bar and its document
// strings. All pair CKestrelDoc with CChildFrame.
#pragma once

#include <QString>
#include <QStringList>

namespace kestrel {

class CDocTemplate {
public:
    // Fields of the document string, separated by LF.
    enum DocStringIndex {
        kWindowTitle = 0,
        kDocName,      // base of the titles of new documents
        kFileNewName,  // non-empty: the New command makes this kind
        kFilterName,   // file dialog filter
        kFilterExt,
        kRegFileTypeId,
        kRegFileTypeName,
    };

    CDocTemplate(int resourceId, int position, const char* docString);

    // Menu bar and string resource id (129, 131, 132).
    int ResourceId() const { return m_resourceId; }
    // Position in the application's list: 0 first, 1 the capture template.
    int Position() const { return m_position; }
    QString GetDocString(DocStringIndex index) const;

    // Title of the next untitled document of this kind: the document name
    // followed by a running number from 1. Every untitled document counts.
    QString NextUntitledTitle();

private:
    int m_resourceId;
    int m_position;
    QStringList m_fields;
    int m_untitledCount = 0;
};

}  // namespace kestrel
