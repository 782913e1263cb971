// The "sip" group of the main settings: key tables, typed getters and the web form saver.
#include "sip/sip.h"

#include "common/codecs/audiocodec.h"
#include "core/modulehost.h"

namespace {

const QString kGroup = QStringLiteral("sip");

// Unticked check boxes are not posted: their absence from a whole form means false.
const SipSetting::Type kCheckBoxes[]
    = { SipSetting::ServerProxyUse, SipSetting::ServerBindRandom, SipSetting::LogSip,
        SipSetting::LogRtsp, SipSetting::EnableCallDuration };

bool hasField(const QHash<QString, QString> &form, const QString &key)
{
    for (auto it = form.cbegin(); it != form.cend(); ++it) {
        if (it.key().compare(key, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

QString Sip::settingName(const SipSetting::Type &key)
{
    return sipSettingName(key);
}

QVariant Sip::settingDefault(const SipSetting::Type &key)
{
    return sipSettingDefault(key);
}

int Sip::settingFromName(const QString &name)
{
    return sipSettingFromName(name);
}

void Sip::setDefaultSetting(const SipSetting::Type &key, const QVariant &value)
{
    if (ModuleHost *host = hostOf(this))
        host->setDefaultValue(kGroup, settingName(key), value);
}

void Sip::writeDefaultSettings()
{
    for (int i = 0; i < SipSetting::Count; ++i)
        setDefaultSetting(SipSetting::Type(i), settingDefault(SipSetting::Type(i)));
}

QString Sip::setting(const SipSetting::Type &key) const
{
    return moduleSetting(this, kGroup, settingName(key), settingDefault(key)).toString();
}

quint16 Sip::settingNumber(const SipSetting::Type &key) const
{
    return settingTextToPort(setting(key));
}

bool Sip::settingBool(const SipSetting::Type &key) const
{
    return settingTextToBool(setting(key));
}

// Signed, so a negative text is refused rather than wrapped into a huge unsigned value.
qint64 Sip::settingInt64(const SipSetting::Type &key) const
{
    const qint64 value = settingTextToInt64(setting(key));
    return value < 0 ? 0 : value;
}

bool Sip::saveSettings(const QHash<QString, QString> &form, const int &index)
{
    ModuleHost *host = hostOf(this);
    if (!host)
        return true;
    if (index != -1) {
        const QString key = settingName(SipSetting::Type(index));
        if (!key.isEmpty() && form.contains(key))
            host->setValue(kGroup, key, form.value(key));
        return host->syncSettings();
    }
    // Stored under the key as the table writes it, whatever the case of the posted name: a
    // second spelling would be a second key that readers never see.
    for (auto it = form.cbegin(); it != form.cend(); ++it) {
        const int key = settingFromName(it.key());
        if (key != SipSetting::Unknown)
            host->setValue(kGroup, settingName(SipSetting::Type(key)), it.value());
    }
    for (const SipSetting::Type key : kCheckBoxes) {
        if (!hasField(form, settingName(key)))
            host->setValue(kGroup, settingName(key), false);
    }
    AudioCodec::setCodecs({ setting(SipSetting::Codec1), setting(SipSetting::Codec2),
                            setting(SipSetting::Codec3), setting(SipSetting::Codec4) });
    return host->syncSettings();
}
