#pragma once
// Checking a dotted IPv4 string and picking its octets, for the address control.
// Headless: Qt Core only.
//
// Two kinds of failure leave these routines. EAssertionFailed reports a string that
// breaks the form the routines were written for (its length, its number of dots) or a
// caller that broke a contract; EIPAddressError reports a string of the right form
// whose pieces are not octets. Callers that only care about "valid or not" catch
// TarvinoError.

#include "protocol/errors.h"

#include <QChar>
#include <QString>
#include <QStringView>

class EAssertionFailed : public TarvinoError
{
public:
    using TarvinoError::TarvinoError;
};

class EIPAddressError : public TarvinoError
{
public:
    using TarvinoError::TarvinoError;
};

// Field n (counted from 1) of s split at sep; empty when s runs out before it.
QString ExtractField(const QString &s, int n, QChar sep);
int CountChar(QStringView s, QChar ch);
// s without any character that belongs to set.
QString RemoveChars(const QString &s, QStringView set);
// True when every character is 0 to 9 (and for the empty string).
bool IsDigitString(QStringView s);
// The 1-based position of the last occurrence of sub in text; 0 when absent or sub is empty.
int LastPos(const QString &sub, const QString &text);

// The four pieces of a dotted address, each left-padded with zeros to three digits
// and joined without dots: 192.168.1.20 gives 192168001020.
QString NormalizeIPString(const QString &s);
// Checks that norm holds four digit triplets of 0..255; input is the string the
// caller started from, quoted in the messages.
void CheckNormalizedIP(const QString &norm, const QString &input);
// Returns normally only for a valid dotted address; raises the first check that fails.
void ValidateIPString(const QString &s);
// Octet n (1..4) of a valid dotted address, 0 for any other n; raises as ValidateIPString.
int GetIPOctet(const QString &s, int n);
