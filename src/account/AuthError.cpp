#include "account/AuthError.h"

#include <QStringDecoder>

namespace dravelin {

QString AuthError::description() const
{
    auto orDefault = [this](const char *fallback) { return message.isEmpty() ? QString::fromUtf8(fallback) : message; };
    switch (kind) {
    case Kind::weakPassword:
        return orDefault("That password is too weak.");
    case Kind::validationFailed:
        return orDefault("Check the details you entered.");
    case Kind::rateLimited:
        return orDefault("Too many attempts. Wait a minute and try again.");
    case Kind::network:
        return QStringLiteral("Network error: ") + message;
    case Kind::server:
        return QStringLiteral("Server error %1: %2").arg(status).arg(message);
    case Kind::decoding:
        return QStringLiteral("Couldn't read response: ") + message;
    case Kind::uploadFailed:
        return QStringLiteral("Upload failed (%1): %2").arg(status).arg(message);
    case Kind::oauth:
        return orDefault("Secure sign-in failed.");
    case Kind::invalidCredentials:
        return QStringLiteral("Email or password is incorrect");
    case Kind::emailNotConfirmed:
        return QStringLiteral("Confirm your email first — check your inbox for the link we sent.");
    case Kind::emailAlreadyRegistered:
        return QStringLiteral("An account with that email already exists. Sign in instead.");
    case Kind::signUpsDisabled:
        return QStringLiteral("New sign-ups are closed right now.");
    case Kind::invalidResetCode:
        return QStringLiteral("That link is invalid, already used, or expired. Send yourself a new email.");
    case Kind::notSignedIn:
        return QStringLiteral("Not signed in");
    case Kind::browserLoginUnavailable:
        return QStringLiteral("Could not open your browser. Please try again.");
    case Kind::browserLoginCancelled:
        return QStringLiteral("Sign-in was cancelled.");
    case Kind::invalidOAuthState:
        return QStringLiteral("The sign-in response could not be verified. Please try again.");
    case Kind::oauthConfiguration:
        return QStringLiteral("Secure browser sign-in is not configured for this build.");
    }
    return {};
}

AuthError authErrorFor(int status, const QByteArray &body, AuthEndpoint endpoint)
{
    const auto parsed = json::parse(body);
    const json::Json object = parsed && parsed->is_object() ? *parsed : json::Json::object();
    auto field = [&](const char *key) { return json::optionalField<QString>(object, key); };
    const QString code = field("error_code").value_or(field("error").value_or(QString())).toLower();
    QString text = field("error_description").value_or(field("message").value_or(field("msg").value_or(QString())));
    if (!field("error_description") && !field("message") && !field("msg")) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString whole = decoder(body);
        text = decoder.hasError() ? QString() : whole;
    }
    const QString low = text.toLower();
    using K = AuthError::Kind;
    if (code == u"email_not_confirmed" || low.contains(QStringLiteral("email not confirmed")))
        return {K::emailNotConfirmed, {}, status};
    if (code == u"user_already_exists" || code == u"email_exists" || low.contains(QStringLiteral("already registered")))
        return {K::emailAlreadyRegistered, {}, status};
    if (code == u"weak_password" || low.contains(QStringLiteral("password should be")))
        return {K::weakPassword, text, status};
    if (code == u"signup_disabled" || low.contains(QStringLiteral("signups not allowed")))
        return {K::signUpsDisabled, {}, status};
    if (code == u"otp_expired" || code == u"otp_disabled")
        return {K::invalidResetCode, {}, status};
    if (status == 429 || code.startsWith(QStringLiteral("over_")))
        return {K::rateLimited, text, status};
    if (code == u"validation_failed" || code == u"email_address_invalid")
        return {K::validationFailed, text, status};
    if (code == u"invalid_credentials")
        return {K::invalidCredentials, {}, status};
    if (endpoint == AuthEndpoint::standard && (status == 400 || status == 401))
        return {K::invalidCredentials, {}, status};
    if (text.isEmpty() || status < 400 || status > 499)
        return {K::server, text, status};
    return {K::validationFailed, text, status};
}

std::optional<QDateTime> tokenExpiry(const QString &token)
{
    const QStringList parts = token.split(u'.');
    if (parts.size() != 3)
        return std::nullopt;
    QByteArray payload = parts[1].toLatin1();
    while (payload.size() % 4)
        payload += '=';
    payload.replace('-', '+').replace('_', '/');
    auto decoded = QByteArray::fromBase64Encoding(payload, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    const auto claims = json::parse(*decoded);
    if (!claims || !claims->is_object())
        return std::nullopt;
    const auto exp = json::optionalField<double>(*claims, "exp");
    if (!exp)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(*exp * 1000), Qt::UTC);
}

std::optional<AuthUser> AuthUser::fromUserResponse(const json::Json &user)
{
    const auto id = json::optionalField<QString>(user, "id");
    if (!id)
        return std::nullopt;
    AuthUser u;
    u.id = *id;
    u.email = json::optionalField<QString>(user, "email").value_or(QString());
    if (user.contains("user_metadata") && user["user_metadata"].is_object()) {
        const auto &m = user["user_metadata"];
        u.firstName = json::optionalField<QString>(m, "first_name");
        u.lastName = json::optionalField<QString>(m, "last_name");
        u.avatarURL = json::optionalField<QString>(m, "avatar_url");
        u.avatarPreset = json::optionalField<QString>(m, "avatar_preset");
    }
    if (user.contains("app_metadata") && user["app_metadata"].is_object())
        u.role = json::optionalField<QString>(user["app_metadata"], "role");
    return u;
}

json::Json AuthUser::toJson() const
{
    json::Json j;
    j["id"] = id;
    j["email"] = email;
    json::putOptional(j, "firstName", firstName);
    json::putOptional(j, "lastName", lastName);
    json::putOptional(j, "avatarURL", avatarURL);
    json::putOptional(j, "avatarPreset", avatarPreset);
    json::putOptional(j, "role", role);
    return j;
}

std::optional<AuthUser> AuthUser::fromJson(const json::Json &j)
{
    const auto id = json::optionalField<QString>(j, "id");
    const auto email = json::optionalField<QString>(j, "email");
    if (!id || !email)
        return std::nullopt;
    return AuthUser{*id,
                    *email,
                    json::optionalField<QString>(j, "firstName"),
                    json::optionalField<QString>(j, "lastName"),
                    json::optionalField<QString>(j, "avatarURL"),
                    json::optionalField<QString>(j, "avatarPreset"),
                    json::optionalField<QString>(j, "role")};
}

} // namespace dravelin
