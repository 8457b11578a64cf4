#pragma once

#include <QString>
#include <exception>
#include <string>

// An error that carries its whole user-readable message. The program's own
// errors use the domain "Stemloft"; file-system and launch errors keep theirs.
class AppError : public std::exception {
public:
    AppError(QString domain, int code, QString description)
        : m_domain(std::move(domain)), m_code(code), m_description(std::move(description)),
          m_what(m_description.toStdString())
    {
    }

    static AppError stemloft(int code, const QString& description)
    {
        return AppError(QStringLiteral("Stemloft"), code, description);
    }

    const QString& domain() const { return m_domain; }
    int code() const { return m_code; }
    const QString& localizedDescription() const { return m_description; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    QString m_domain;
    int m_code;
    QString m_description;
    std::string m_what;
};
