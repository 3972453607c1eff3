@schtasks /Create /TN "Lumagate client" /XML "%~dp0lumagatec-task.xml"
