#pragma once

#include <QLabel>
#include <QPoint>
#include <QWidget>

namespace pelora {

// The window's own title bar `XPForm`: the caption, and a handle to move the
// frameless window. No minimise or maximise button.
class TitleBar : public QWidget {
    Q_OBJECT
public:
    explicit TitleBar(QWidget* parent = nullptr);

    QString Caption() const { return caption_->text(); }
    void SetCaption(const QString& caption);
    // What a screen reader says for the program's icon.
    void SetLogoName(const QString& name);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QLabel* caption_;
    QWidget* logo_;
    bool dragging_ = false;
    QPoint dragOffset_;
};

}  // namespace pelora
