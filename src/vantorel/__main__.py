from vantorel.console import main

main()
