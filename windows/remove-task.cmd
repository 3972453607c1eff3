@schtasks /Delete /TN "Lumagate client" /F
