#pragma once

// The image provider "image://theme/<id>": every icon the declarative views and several
// menus show. Ids (the text after "image://theme/", split at "/" with empty parts dropped):
//
//   icon/<name>.svg    the program's own line-art icon ":/icons/<name>.svg", recoloured by the
//                      theme's `icon` object (each non-string property holding two colour
//                      texts [from, to] is one replacement, applied in property order).
//                      The 16, 24 and 32 drawings of each file are used at their own sizes.
//   file/<file name>   the icon of the file's type, by its suffix
//   mime/<MIME type>   the icon of a MIME type; "mime/application/x-directory" is the folder
//   app/<location>     an application's icon as its .desktop file names it (icon name or
//                      absolute path, may be percent-encoded); served at the requested size
//
// Sizes for all forms but "app/": the requested width picks the side - none: 32; 1..15:
// empty pixmap; 16..23: 16; 24..31: 24; 32..39: 32; 40..47: 40; 48 and more: 48.
//
// Icon names shipped under ":/icons/": alt-filerpane, app-icon, computer, computer-laptop,
// copy, cut, dev-desktop, dev-laptop, dev-local, drive-disk, drive-hotplug, drive-smb,
// extra-window, file, file-archive, file-audio, file-image, file-pdf, file-text, file-video,
// folder, invitation, info, machine-list, machine-list-offline, mkdir, network, nodeview,
// paste, preview, properties, read-only, rename, sort-down-arrow, sort-up-arrow, trash,
// update, view-columns, view-icons, view-list, new-tab, hidden, delete, docs, licenses
// (each as "<name>.svg").
//
// A missing icon or one that does not parse gives a grey placeholder square (0xAAA08080).
// GUI thread only (one SVG renderer serves every request); the engine calls it there.

#include <QHash>
#include <QIcon>
#include <QPixmap>
#include <QQuickImageProvider>

class QSvgRenderer;

class ThemeImageProvider : public QQuickImageProvider
{
public:
    explicit ThemeImageProvider(QObject *theme);
    ~ThemeImageProvider() override;

    // The single provider, null before it is made and after the engine deleted it.
    static ThemeImageProvider *instance();

    QPixmap requestPixmap(const QString &id, QSize *size, const QSize &requestedSize) override;

    // "app/<location>" ids.
    QIcon loadApplicationIcon(const QString &id);
    QPixmap loadApplicationPixmap(const QString &id, QSize *size, const QSize &requestedSize);

    // The pixmap side for a requested width: 0 for unsupported widths (1..15).
    static int tierSide(int requestedWidth);

private:
    QPixmap renderResource(const QString &themeProperty, const QString &name, int side);
    QPixmap iconPixmap(const QIcon &icon, const QString &fallbackResource, int side);

    QObject *m_theme = nullptr;   // not owned
    QSvgRenderer *m_renderer = nullptr;
    // Every drawing made, by theme object, resource and side: a few dozen small pictures.
    QHash<QString, QPixmap> m_drawn;
};
