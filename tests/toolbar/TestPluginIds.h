// Class ids of the test plug-ins, shared by the DLL and the tests.
#pragma once
#define TEST_PLUGIN_CLSID_TEXT L"{8C1D5E30-4A7B-4F63-9B2E-6D0A3F915C40}"
#define TEST_PLUGIN_PROGID L"ZorvanTest.Plugin"
// Its Initialize fails with E_ACCESSDENIED and an error record.
#define FAILING_PLUGIN_CLSID_TEXT L"{8C1D5E31-4A7B-4F63-9B2E-6D0A3F915C40}"
#define FAILING_PLUGIN_PROGID L"ZorvanTest.FailingPlugin"
