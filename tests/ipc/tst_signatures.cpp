#include <QMetaClassInfo>
#include <QtTest>

#include "rep_ipc_interface_replica.h"
#include "rep_ipc_process_interface_replica.h"
#include "support/TestEnvironment.h"

// The replicas must carry the same type names and signatures as the service's
// sources, or the service refuses them.
class TstSignatures : public QObject
{
    Q_OBJECT
private slots:
    void signatures_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("signature");
        QTest::addColumn<QString>("expectedType");
        QTest::addColumn<QString>("expectedSignature");
        const QMetaObject &ipc = IpcInterfaceReplica::staticMetaObject;
        const QMetaObject &process = IpcProcessInterfaceReplica::staticMetaObject;
        QTest::newRow("IpcInterface") << classInfo(ipc, QCLASSINFO_REMOTEOBJECT_TYPE)
                                      << classInfo(ipc, QCLASSINFO_REMOTEOBJECT_SIGNATURE) << "IpcInterface"
                                      << "fafb63b7129cdcef8148d545b893d2a8895ee701";
        QTest::newRow("IpcProcessInterface")
            << classInfo(process, QCLASSINFO_REMOTEOBJECT_TYPE) << classInfo(process, QCLASSINFO_REMOTEOBJECT_SIGNATURE)
            << "IpcProcessInterface"
            << "1f0e308ed92d9e95c7e391cbfe96458d8dd5c3b1";
    }

    void signatures()
    {
        QFETCH(QString, type);
        QFETCH(QString, signature);
        QFETCH(QString, expectedType);
        QFETCH(QString, expectedSignature);
        QCOMPARE(type, expectedType);
        QCOMPARE(signature, expectedSignature);
    }

private:
    static QString classInfo(const QMetaObject &meta, const char *name)
    {
        const int index = meta.indexOfClassInfo(name);
        return index < 0 ? QString() : QString::fromLatin1(meta.classInfo(index).value());
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstSignatures test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_signatures.moc"
