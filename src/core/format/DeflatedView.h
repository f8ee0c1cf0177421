#pragma once

#include <QIODevice>
#include <QString>

#include <memory>

// A deflated member of an open archive read in place, without inflating it
// whole. Deflate's stored blocks hold their bytes as they are: the view maps
// them onto the archive and reads them only when asked. Only the compressed
// blocks are inflated, into memory. So a member whose content was already
// compressed (an APK of media and compressed code) costs about one small read
// per block instead of inflating every byte.
//
// The view walks the whole stream once when opened: the stream must end where
// the member's data ends and give exactly its size. The CRC-32 is not checked
// (the bytes are not all read), as for a stored member read through a window.
// Null with the cause when the stream is damaged, or when its compressed
// blocks inflate to more than memoryLimit bytes (overLimit set: the caller
// inflates it some other way). The descriptor must stay open while the device
// is read.
std::unique_ptr<QIODevice> OpenDeflatedView(int fd, quint64 dataOffset, quint64 compressedSize,
                                            quint64 size, qint64 memoryLimit, bool* overLimit,
                                            QString* error);
