#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// Whole-file signature of a firmware package: a CMS SignedData block over the
// archive's bytes, carried in the ZIP comment, as signapk -w writes it and the
// device's recovery checks it.
//
// Layout of the end of a signed package:
//   ... end record (22 bytes, the last 2 the comment length) | comment
//   comment = "signed by SignApk\0" | DER CMS block | footer
//   footer  = signature start (LE16) | ff ff | comment length (LE16)
// where the signature start counts back from the end of the file to the block.
// The signed bytes are the whole file up to and excluding the comment length.
//
// Algorithms follow the certificate: a certificate signed with SHA1withRSA (or
// MD5withRSA) gives SHA-1 with RSA; one signed with a SHA-256 algorithm gives
// SHA-256 with RSA or ECDSA, after the key. Anything else is refused, as signapk
// refuses it.

// Computes the whole-file signature over bytes fed as they are written. Memory
// stays constant whatever the size of the archive.
class WholeFileSigner {
public:
    WholeFileSigner();
    ~WholeFileSigner();
    WholeFileSigner(const WholeFileSigner&) = delete;
    WholeFileSigner& operator=(const WholeFileSigner&) = delete;

    // certPem: path of the X.509 certificate (PEM, or DER); keyPk8: path of its
    // unencrypted PKCS#8 private key, DER or PEM (RSA or EC). The key must belong to the
    // certificate. Starts a new signature: bytes fed before are dropped.
    bool loadKey(const QString& certPem, const QString& keyPk8, QString* error);

    // Feeds the signed bytes: the whole archive up to and excluding the end
    // record's comment-length field.
    void update(const char* data, qint64 size);

    // Bytes fed since loadKey or the last finish.
    qint64 signedSize() const;

    // The bytes that follow the signed ones: the comment length (LE16) and the
    // comment. Fails when no key is loaded, when the fed bytes do not end with an
    // end record lacking its comment length, or when the comment would hold an
    // end-record marker (recovery would refuse it). Afterwards the signer is
    // ready for another archive with the same key.
    bool finish(QByteArray* commentLengthAndComment, QString* error);

    // What the last finish signed: the digest of the signed bytes and their
    // number (empty and 0 before a finish that succeeded).
    QByteArray signedDigest() const;
    qint64 signedBytes() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The data signapk -w stores in META-INF/com/android/otacert: the certificate
// file exactly as it is on disk (checked to be a certificate).
bool OtaCertData(const QString& certPem, QByteArray* data, QString* error);

// The footer that ends the comment of a signed package: where the signature
// block begins, counted back from the end of the file, and the comment's
// length as the footer gives it.
struct WholeFileFooter {
    qint64 signatureStart = 0;
    qint64 commentSize = 0;
};

// Reads the footer from the last six bytes of tail (the end of a file, or its
// comment): false when they are no footer (no ff ff marker, or fewer than
// six bytes).
bool ReadWholeFileFooter(const QByteArray& tail, WholeFileFooter* footer);

// Checks a signed package as recovery does: the footer (marker, signature start
// inside the comment and past the footer), the end record found where the
// footer's comment length puts it and giving that same length, no other
// end-record marker from there on, and the CMS block verifying over the signed
// bytes with the given certificate (the block's signer and certificate must be
// that certificate; digest as the certificate implies; no signed attributes).
// Reads the file in bounded chunks. False with the cause otherwise.
bool VerifyWholeFileSignature(const QString& path, const QString& certPem, QString* error);

// The same checks, with the digest of the signed bytes given (computed as
// they were written) instead of computed from the file: only the end of the
// file is read (footer, end record, signature block). The signed bytes the
// file's end gives must be signedSize.
bool VerifyWholeFileSignatureOfDigest(const QString& path, const QString& certPem,
                                      const QByteArray& digest, qint64 signedSize, QString* error);

// What the whole-file signing keeps of a package's members: not directory
// entries, nor the signature files of a jar signature made before.
bool KeptInSignedPackage(const QString& name, bool directory);
