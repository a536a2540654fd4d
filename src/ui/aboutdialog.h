#pragma once

// Help > About: the program's name and version, the versions it runs on (Tor, Qt, the scene
// graph's renderer) and a button that shows the shipped licence texts. Not modal; deletes
// itself when closed, however it is closed. GUI thread only.

#include <QDialog>

class QLabel;

class AboutDialog : public QDialog
{
    Q_OBJECT
public:
    // graphicsApi: QSGRendererInterface::GraphicsApi of the window's QML views.
    AboutDialog(int graphicsApi, QWidget *parent = nullptr);
    ~AboutDialog() override;

    // "Software (1)" and the like; "unknown" for values past the known names. With OpenGL the
    // driver's own name of the renderer follows, when there is one ("OpenGL (2): llvmpipe ...").
    static QString rendererText(int graphicsApi);
    // GL_RENDERER of a context made like the views' own; empty without OpenGL.
    static QString openGlRendererName();

Q_SIGNALS:
    void openLicensesFolder();

protected:
    void closeEvent(QCloseEvent *event) override;
    void done(int result) override;
};
