#pragma once
// A label that opens its URL in the browser when clicked, with any button.
// Used for the logo and the banner image. An empty URL opens nothing, and
// only http and https links are opened (see LinkOpener).

#include <QLabel>
#include <QString>

class UrlClickLabel final : public QLabel
{
    Q_OBJECT

public:
    explicit UrlClickLabel(QWidget* parent = nullptr);

    void setUrl(const QString& url);
    QString url() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString m_Url;
};
