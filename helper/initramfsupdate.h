// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Keeps the running kernel's initramfs in line with the modprobe configuration.
//
// An initramfs holds copies of the modprobe files (mkinitramfs takes every
// *.conf of /etc/modprobe.d and /lib/modprobe.d) and, on most machines, the GPU
// drivers (plymouth's hook copies the kernel's drm tree). udev loads the GPU's
// driver there, with the configuration the image was built with, before the root
// file system is mounted: a switch written only to /etc changes nothing at the
// next boot unless the image is built again.
//
// The image is rebuilt only when it needs it: when it holds a copy of a changed
// file, or a module the change enables or blacklists. Paths are taken below
// root; tools run only for the real system (an empty root).
class InitramfsUpdate
{
public:
    // release: the kernel whose image is meant; empty for the running one.
    explicit InitramfsUpdate(const QString &root = QString(), const QString &release = QString());

    QString release() const
    {
        return m_release;
    }
    // The image as a system path, whether it exists or not.
    QString image() const;
    bool hasImage() const;

    // Why the image must be rebuilt after files (system paths) were changed and
    // modules (kernel names) enabled or blacklisted; empty when it needs nothing,
    // when no file changed, and when there is no image. An image whose content cannot be told is
    // rebuilt: a stale one would undo the change at boot.
    QString reasonToUpdate(const QStringList &files, const QStringList &modules) const;

    // The command that rebuilds the image (update-initramfs, or dracut where that
    // builds the images instead), as an administrator would type it; empty when
    // neither is installed.
    QString commandLine() const;
    // Rebuilds the image, calling tick every few seconds while the tool runs (a
    // generous limit of its own applies). With passOutput the tool writes to our
    // own standard output and error; otherwise its output goes to the debug log.
    // Returns why it failed, or an empty string.
    QString update(const std::function<void()> &tick, bool passOutput = false) const;
    // The text for a configuration that was changed while the image could not be
    // rebuilt: what happened, and the command that finishes the job.
    QString failureText(const QString &why) const;

    // The modules that the entries of a modprobe file's text name.
    static QStringList modulesNamedIn(const QByteArray &text);
    // The image's paths, relative, "usr/lib/..." written "lib/..."; nothing when
    // the image cannot be read.
    std::optional<QStringList> contents() const;
    // The paths of a lister's output: lsinitramfs's, a path a line, or with
    // longFormat lsinitrd's "ls -l" lines (links without their target).
    static QStringList pathsOfListing(const QByteArray &listing, bool longFormat);
    // A path of a file system (or of an image) as contents() gives it.
    static QString normalPath(const QString &path);

private:
    enum class Tool { None, InitramfsTools, Dracut };
    Tool tool() const;
    QStringList command() const;

    QString m_root;
    QString m_release;
};
